#include "local_test_support.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QTimer>

#include "platform/qt/stream_thread.h"

#include <gtest/gtest.h>

#include <array>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <utility>

extern char** environ; // NOLINT(readability-redundant-declaration)

namespace merriphonic::local_test {

namespace {

std::unique_ptr<QtRunLoop>& mainLoopSlot() {
    static std::unique_ptr<QtRunLoop> loop;
    return loop;
}

// Every test of this binary runs inside one QCoreApplication, on its main thread. The
// application is kept to the very end (reachable, never deleted): the stream thread is stopped
// after main returns, and posting its stop needs the application.
class QtApplicationEnvironment final : public ::testing::Environment {
public:
    void SetUp() override {
        static int argc = 1;
        static char name[] = "platform_local_tests";
        static std::array<char*, 2> argv{name, nullptr};
        static auto* const app = new QCoreApplication(argc, argv.data());
        (void)app;
        mainLoopSlot() = std::make_unique<QtRunLoop>();
    }
    void TearDown() override { mainLoopSlot().reset(); }
};

[[maybe_unused]] const auto* const environment =
    ::testing::AddGlobalTestEnvironment(new QtApplicationEnvironment);

class SilentSink final : public LogSink {
public:
    void write(LogCategory, LogLevel, std::string_view) override {}
};

} // namespace

QtRunLoop& mainLoop() {
    return *mainLoopSlot();
}

bool runMainLoopUntil(const std::function<bool()>& done, std::chrono::milliseconds guard) {
    bool expired = false;
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, [&expired] { expired = true; });
    timer.start(guard);
    QEventLoop loop;
    while (!done() && !expired) {
        loop.processEvents(QEventLoop::WaitForMoreEvents);
    }
    return done();
}

TempFolder::TempFolder() {
    std::string pattern = "/tmp/mpl-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
    }
    path_ = pattern;
}

TempFolder::~TempFolder() {
    std::error_code error;
    std::filesystem::remove_all(path_, error);
}

ScopedRuntimeDir::ScopedRuntimeDir(const std::optional<std::string>& value) {
    if (const char* current = std::getenv("XDG_RUNTIME_DIR")) {
        previous_ = current;
    }
    if (value) {
        ::setenv("XDG_RUNTIME_DIR", value->c_str(), 1);
    } else {
        ::unsetenv("XDG_RUNTIME_DIR");
    }
}

ScopedRuntimeDir::~ScopedRuntimeDir() {
    if (previous_) {
        ::setenv("XDG_RUNTIME_DIR", previous_->c_str(), 1);
    } else {
        ::unsetenv("XDG_RUNTIME_DIR");
    }
}

std::unique_ptr<RealDevice> makeDevice(const std::filesystem::path& root) {
    std::filesystem::create_directories(root);
    RealDeviceOptions options;
    options.prefsFile = root / "prefs.conf";
    options.folders = DeviceFolders{root, root, root};
    options.logSink = std::make_shared<SilentSink>();
    return std::make_unique<RealDevice>(options);
}

void drainStreams() {
    bool drained = false;
    StreamThread::shared().post([&drained] { mainLoop().post([&drained] { drained = true; }); });
    EXPECT_TRUE(runMainLoopUntil([&drained] { return drained; }));
}

HostProcess::HostProcess(const std::filesystem::path& runtimeDir, const std::filesystem::path& root,
                         const std::string& name) {
    std::array<int, 2> input{-1, -1};
    std::array<int, 2> output{-1, -1};
    if (::pipe2(input.data(), O_CLOEXEC) != 0 || ::pipe2(output.data(), O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe2: " << std::strerror(errno);
        return;
    }
    // Each host has folders of its own, as two app instances on one computer would.
    std::vector<std::string> variables;
    const std::array<std::pair<const char*, std::filesystem::path>, 4> own{{
        {"XDG_RUNTIME_DIR", runtimeDir},
        {"XDG_CONFIG_HOME", root / "config"},
        {"XDG_DATA_HOME", root / "data"},
        {"XDG_CACHE_HOME", root / "cache"},
    }};
    for (const auto& [variable, path] : own) {
        std::filesystem::create_directories(path);
        variables.push_back(std::string(variable) + "=" + path.string());
    }
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view text(*entry);
        if (!text.starts_with("XDG_")) {
            variables.emplace_back(text);
        }
    }
    std::vector<char*> envp;
    envp.reserve(variables.size() + 1);
    for (auto& variable : variables) {
        envp.push_back(variable.data());
    }
    envp.push_back(nullptr);
    std::string program = LOCAL_RADIO_HOST;
    std::string argument = name;
    std::array<char*, 3> argv{program.data(), argument.data(), nullptr};

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    const int result =
        ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(input[0]);
    ::close(output[1]);
    input_ = input[1];
    output_ = output[0];
    if (result != 0) {
        pid_ = -1;
        ADD_FAILURE() << "posix_spawn " << program << ": " << std::strerror(result);
        return;
    }
    notifier_ = std::make_unique<QSocketNotifier>(output_, QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(),
                     [this] { readOutput(); });
}

HostProcess::~HostProcess() {
    kill();
    notifier_.reset();
    if (input_ >= 0) {
        ::close(input_);
    }
    if (output_ >= 0) {
        ::close(output_);
    }
}

void HostProcess::readOutput() {
    std::array<char, 4096> buffer{};
    const ssize_t count = ::read(output_, buffer.data(), buffer.size());
    if (count <= 0) {
        outputEnded_ = true;
        notifier_->setEnabled(false);
        return;
    }
    pending_.append(buffer.data(), static_cast<size_t>(count));
    size_t newline = 0;
    while ((newline = pending_.find('\n')) != std::string::npos) {
        lines_.push_back(pending_.substr(0, newline));
        pending_.erase(0, newline + 1);
    }
}

std::optional<std::string> HostProcess::waitForLine(std::string_view prefix) {
    std::optional<std::string> found;
    size_t checked = 0;
    runMainLoopUntil([&] {
        for (; checked < lines_.size() && !found; ++checked) {
            if (lines_[checked].starts_with(prefix)) {
                found = lines_[checked].substr(prefix.size());
            }
        }
        return found.has_value() || outputEnded_;
    });
    return found;
}

int HostProcess::reap() {
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return status;
}

void HostProcess::kill() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        reap();
    }
}

int HostProcess::quit() {
    if (pid_ <= 0) {
        return -1;
    }
    ::close(std::exchange(input_, -1));
    // The host closes its stdout as it exits; the guard turns a hang into a kill.
    if (!runMainLoopUntil([this] { return outputEnded_; })) {
        ADD_FAILURE() << "the host did not quit";
        ::kill(pid_, SIGKILL);
    }
    return reap();
}

void RecordingCentral::add(CentralEvent::Kind kind,
                           const std::shared_ptr<RemotePeripheral>& peripheral,
                           const std::optional<RadioError>& error,
                           const std::function<void(CentralEvent&)>& fill) {
    CentralEvent event;
    event.kind = kind;
    event.peripheralId = peripheral->identifier();
    event.error = error;
    if (fill) {
        fill(event);
    }
    peripherals[event.peripheralId] = peripheral;
    events.push_back(std::move(event));
}

size_t RecordingCentral::count(CentralEvent::Kind kind, std::string_view id) const {
    size_t total = 0;
    for (const auto& event : events) {
        if (event.kind == kind && (id.empty() || event.peripheralId == id)) {
            ++total;
        }
    }
    return total;
}

std::optional<CentralEvent> RecordingCentral::waitFor(CentralEvent::Kind kind, std::string_view id,
                                                      size_t after) {
    std::optional<CentralEvent> found;
    size_t checked = after;
    runMainLoopUntil([&] {
        for (; checked < events.size() && !found; ++checked) {
            if (events[checked].kind == kind &&
                (id.empty() || events[checked].peripheralId == id)) {
                found = events[checked];
            }
        }
        return found.has_value();
    });
    return found;
}

} // namespace merriphonic::local_test
