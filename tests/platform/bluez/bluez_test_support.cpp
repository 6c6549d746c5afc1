#include "bluez_test_support.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>

// Qt, QtDBus, glib and libdbus are not built for ThreadSanitizer: the hand-overs inside them
// (QtDBus's own thread passes every message through them) look like races. Only accesses made
// by instrumented code, ours, are checked.
// NOLINTNEXTLINE(bugprone-reserved-identifier,readability-identifier-naming)
extern "C" const char* __tsan_default_options() {
    return "ignore_noninstrumented_modules=1";
}

namespace merriphonic::bluez_test {

namespace {

struct Globals {
    std::unique_ptr<QCoreApplication> app;
    std::unique_ptr<QtRunLoop> loop;
    std::filesystem::path folder;
    QString busAddress;
    pid_t busPid = -1;
};

Globals& globals() {
    static Globals instance;
    return instance;
}

const char* const busConfig = R"(<!DOCTYPE busconfig PUBLIC
 "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=@FOLDER@</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";

// Starts dbus-daemon on a configuration of our own and reads the address it prints.
void startBus(Globals& g) {
    std::string config = busConfig;
    config.replace(config.find("@FOLDER@"), 8, g.folder.string());
    const std::filesystem::path configFile = g.folder / "bus.conf";
    std::ofstream(configFile) << config;

    std::array<int, 2> pipe{-1, -1};
    ASSERT_EQ(::pipe(pipe.data()), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipe[0]);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    const std::string configArgument = "--config-file=" + configFile.string();
    std::array<char*, 6> argv{
        const_cast<char*>("dbus-daemon"),     const_cast<char*>(configArgument.c_str()),
        const_cast<char*>("--print-address"), const_cast<char*>("--nofork"),
        const_cast<char*>("--nopidfile"),     nullptr};
    const int spawned =
        posix_spawnp(&g.busPid, "dbus-daemon", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipe[1]);
    ASSERT_EQ(spawned, 0) << "dbus-daemon could not be started";

    std::string line;
    char c = 0;
    while (::read(pipe[0], &c, 1) == 1 && c != '\n') {
        line += c;
    }
    ::close(pipe[0]);
    ASSERT_FALSE(line.empty()) << "dbus-daemon printed no address";
    g.busAddress = QString::fromStdString(line);
}

class BluezTestEnvironment final : public ::testing::Environment {
public:
    void SetUp() override {
        Globals& g = globals();
        g.app = std::make_unique<QCoreApplication>(argc_, argv_.data());
        g.loop = std::make_unique<QtRunLoop>();
        std::string pattern =
            (std::filesystem::temp_directory_path() / "merriphonic-bluez-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        g.folder = pattern;
        startBus(g);
    }

    void TearDown() override {
        Globals& g = globals();
        drain();
        if (g.busPid > 0) {
            ::kill(g.busPid, SIGTERM);
            int status = 0;
            ::waitpid(g.busPid, &status, 0);
            g.busPid = -1;
        }
        g.loop.reset();
        g.app.reset();
        std::error_code ignored;
        std::filesystem::remove_all(g.folder, ignored);
    }

private:
    int argc_ = 1;
    char name_[21] = "platform_bluez_tests";
    std::array<char*, 2> argv_{name_, nullptr};
};

[[maybe_unused]] const auto* const environment =
    ::testing::AddGlobalTestEnvironment(new BluezTestEnvironment);

} // namespace

QtRunLoop& mainLoop() {
    return *globals().loop;
}

const QString& busAddress() {
    return globals().busAddress;
}

QDBusConnection openBus(const QString& name) {
    return QDBusConnection::connectToBus(busAddress(), name);
}

void closeBus(const QString& name) {
    QDBusConnection::disconnectFromBus(name);
}

std::filesystem::path scratchFolder() {
    static std::atomic<int> counter{0};
    std::filesystem::path folder =
        globals().folder / ("scratch" + std::to_string(counter.fetch_add(1)));
    std::filesystem::create_directories(folder);
    return folder;
}

bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds guard) {
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

void drain() {
    for (int round = 0; round < 5; ++round) {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
}

} // namespace merriphonic::bluez_test
