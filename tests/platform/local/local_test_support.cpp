#include "local_test_support.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <utility>

extern char** environ; // NOLINT(readability-redundant-declaration)

namespace merriphonic::test {

namespace {

class SilentSink final : public LogSink {
public:
    void write(LogCategory, LogLevel, std::string_view) override {}
};

} // namespace

std::unique_ptr<RealDevice> makeDevice(const std::filesystem::path& root) {
    std::filesystem::create_directories(root);
    return std::make_unique<RealDevice>(RealDeviceOptions{
        root / "prefs.conf", DeviceFolders{root, root, root}, std::make_shared<SilentSink>()});
}

HostProcess::HostProcess(const std::filesystem::path& root, const std::string& name) {
    std::array<int, 2> input{-1, -1};
    std::array<int, 2> output{-1, -1};
    if (::pipe2(input.data(), O_CLOEXEC) != 0 || ::pipe2(output.data(), O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe2: " << std::strerror(errno);
        return;
    }
    std::string program = LOCAL_RADIO_HOST;
    std::string argument = name;
    std::string folder = root.string();
    std::array<char*, 4> argv{program.data(), argument.data(), folder.data(), nullptr};

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    const int result =
        ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(input[0]);
    ::close(output[1]);
    input_ = input[1];
    output_ = output[0];
    // Read while waiting on the main loop, which polls.
    ::fcntl(output_, F_SETFL, O_NONBLOCK);
    if (result != 0) {
        pid_ = -1;
        ADD_FAILURE() << "posix_spawn " << program << ": " << std::strerror(result);
    }
}

HostProcess::~HostProcess() {
    kill();
    for (const int fd : {input_, output_}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

void HostProcess::readOutput() {
    std::array<char, 4096> buffer{};
    ssize_t count = 0;
    while (!outputEnded_ && (count = ::read(output_, buffer.data(), buffer.size())) != 0) {
        if (count < 0) {
            outputEnded_ = errno != EAGAIN && errno != EINTR;
            return;
        }
        pending_.append(buffer.data(), static_cast<size_t>(count));
        for (size_t newline = 0; (newline = pending_.find('\n')) != std::string::npos;) {
            lines_.push_back(pending_.substr(0, newline));
            pending_.erase(0, newline + 1);
        }
    }
    outputEnded_ = true;
}

std::optional<std::string> HostProcess::waitForLine(std::string_view prefix) {
    std::optional<std::string> found;
    size_t checked = 0;
    runMainLoopUntil([&] {
        readOutput();
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
    if (!runMainLoopUntil([this] {
            readOutput();
            return outputEnded_;
        })) {
        ADD_FAILURE() << "the host did not quit";
        ::kill(pid_, SIGKILL);
    }
    return reap();
}

} // namespace merriphonic::test
