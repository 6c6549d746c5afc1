#include "tests/platform/pipewire/headless_pipewire.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace merriphonic::test {

namespace {

// Debian's minimal daemon configuration with the ALSA source and sink replaced by one null
// sink. The sink drives the graph from a CLOCK_MONOTONIC timer, and its monitor ports give
// back what it consumed.
constexpr const char* daemonConfig = R"(
context.properties = {
    link.max-buffers = 16
    core.daemon = true
    core.name = pipewire-0
    settings.check-quantum = true
    settings.check-rate = true
    default.clock.rate = 48000
    default.clock.allowed-rates = [ 44100 48000 ]
}
context.spa-libs = {
    audio.convert.* = audioconvert/libspa-audioconvert
    support.* = support/libspa-support
}
context.modules = [
    { name = libpipewire-module-rt args = { nice.level = -11 } flags = [ ifexists nofail ] }
    { name = libpipewire-module-protocol-native }
    { name = libpipewire-module-metadata }
    { name = libpipewire-module-spa-node-factory }
    { name = libpipewire-module-client-node }
    { name = libpipewire-module-access }
    { name = libpipewire-module-adapter }
    { name = libpipewire-module-link-factory }
]
context.objects = [
    { factory = metadata args = { metadata.name = default } }
    { factory = spa-node-factory args = { factory.name = support.node.driver
        node.name = Dummy-Driver node.group = pipewire.dummy priority.driver = 20000 } }
    { factory = adapter args = { factory.name = support.null-audio-sink
        node.name = "test-sink" node.description = "test sink" media.class = "Audio/Sink"
        audio.position = [ FL FR ] object.linger = true
        adapter.auto-port-config = { mode = dsp monitor = true position = preserve } } }
]
)";

// Whether the child has ended (reaping it), or is no child of this process at all.
bool exited(pid_t pid) {
    int status = 0;
    const pid_t result = waitpid(pid, &status, WNOHANG);
    return result == pid || (result < 0 && errno == ECHILD);
}

// Polls until the condition holds, or the time is up. Harness only: real processes starting.
template <typename Condition>
bool pollUntil(std::chrono::milliseconds timeout, Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

std::string tail(const std::filesystem::path& file) {
    std::stringstream text;
    text << std::ifstream(file).rdbuf();
    const std::string s = text.str();
    return s.size() > 2000 ? s.substr(s.size() - 2000) : s;
}

// Sends SIGTERM, waits up to a second, then SIGKILL; reaps the child. Sets pid to -1.
void endProcess(pid_t& pid) {
    if (pid <= 0) {
        return;
    }
    kill(pid, SIGTERM);
    if (!pollUntil(std::chrono::seconds(1), [pid] { return exited(pid); })) {
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
    }
    pid = -1;
}

} // namespace

HeadlessPipeWire::~HeadlessPipeWire() {
    stop();
}

pid_t HeadlessPipeWire::spawn(const std::vector<std::string>& argv, const std::string& log,
                              std::string& error) const {
    std::vector<std::string> args = argv;
    std::vector<char*> argp;
    argp.reserve(args.size() + 1);
    for (auto& arg : args) {
        argp.push_back(arg.data());
    }
    argp.push_back(nullptr);
    const std::string logPath = (dir() / log).string();
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
        error = std::string("fork failed: ") + std::strerror(errno);
    } else if (pid == 0) {
        // Only async-signal-safe calls until exec. The child dies with the test process.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) {
            _exit(127);
        }
        const int in = open("/dev/null", O_RDONLY);
        const int out = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        dup2(in, STDIN_FILENO);
        dup2(out, STDOUT_FILENO);
        dup2(out, STDERR_FILENO);
        execvp(argp[0], argp.data());
        _exit(127);
    }
    return pid;
}

int HeadlessPipeWire::runTool(const std::vector<std::string>& argv, std::string* output) const {
    std::vector<std::string> args{"timeout", "5"};
    args.insert(args.end(), argv.begin(), argv.end());
    std::filesystem::remove(dir() / "tool.out");
    std::string error;
    const pid_t pid = spawn(args, "tool.out", error);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) {
        return -1;
    }
    if (output != nullptr) {
        *output = tail(dir() / "tool.out");
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string HeadlessPipeWire::logs() const {
    return "\n--- daemon log:\n" + tail(dir() / "daemon.log") + "\n--- session bus log:\n" +
           tail(dir() / "bus.log") + "\n--- session manager log:\n" +
           tail(dir() / "session-manager.log");
}

bool HeadlessPipeWire::startDaemonAndSessionManager(std::string& error) {
    // A killed daemon leaves its socket behind.
    std::filesystem::remove(dir() / "pipewire-0");
    std::filesystem::remove(dir() / "pipewire-0.lock");
    std::ofstream(dir() / "daemon.conf") << daemonConfig;
    daemon_ = spawn({"pipewire", "-c", (dir() / "daemon.conf").string()}, "daemon.log", error);
    if (daemon_ < 0 ||
        !pollUntil(
            std::chrono::seconds(10),
            [&] { return std::filesystem::exists(dir() / "pipewire-0") || exited(daemon_); }) ||
        !std::filesystem::exists(dir() / "pipewire-0")) {
        error += "the PipeWire daemon did not come up" + logs();
        return false;
    }
    // The session manager exits without a session bus, so it gets a private one.
    if (bus_ < 0) {
        bus_ = spawn({"dbus-daemon", "--session", "--nofork", "--nopidfile",
                      "--address=unix:path=" + (dir() / "bus").string()},
                     "bus.log", error);
        if (bus_ < 0 ||
            !pollUntil(std::chrono::seconds(10),
                       [&] { return std::filesystem::exists(dir() / "bus") || exited(bus_); }) ||
            !std::filesystem::exists(dir() / "bus")) {
            error += "the session bus did not come up" + logs();
            return false;
        }
    }
    return waitForSink(error);
}

bool HeadlessPipeWire::waitForSink(std::string& error) {
    // Now and then the session manager comes up without ever choosing a default sink; a fresh
    // one does.
    std::string output;
    for (int attempt = 0; attempt < 3; ++attempt) {
        endProcess(sessionManager_);
        sessionManager_ = spawn({"wireplumber"}, "session-manager.log", error);
        if (sessionManager_ < 0) {
            return false;
        }
        bool gone = false;
        const bool chosen = pollUntil(std::chrono::seconds(6), [&] {
            gone = exited(sessionManager_);
            return gone || (runTool({"pw-metadata", "-n", "default", "0", "default.audio.sink"},
                                    &output) == 0 &&
                            output.find(sinkName) != std::string::npos);
        });
        if (chosen && !gone) {
            return true;
        }
        if (gone) {
            sessionManager_ = -1;
            error = "the session manager exited" + logs();
            return false;
        }
    }
    std::string status;
    runTool({"wpctl", "status"}, &status);
    error = "the session manager did not choose the null sink (last query: " + output + ")" +
            logs() + "\n--- wpctl status:\n" + status;
    return false;
}

bool HeadlessPipeWire::start(std::string& error) {
    folder_ = std::make_unique<TempFolder>();
    std::filesystem::create_directories(dir() / "state");
    std::filesystem::create_directories(dir() / "config");
    // The children, and the clients of this process (the outputs under test), find the daemon
    // and the session bus through these; nothing is preloaded into the children.
    const std::array<std::pair<const char*, std::optional<std::string>>, 7> env{{
        {"XDG_RUNTIME_DIR", dir().string()},
        {"PIPEWIRE_RUNTIME_DIR", dir().string()},
        {"PIPEWIRE_REMOTE", std::nullopt},
        {"XDG_STATE_HOME", (dir() / "state").string()},
        {"XDG_CONFIG_HOME", (dir() / "config").string()},
        {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (dir() / "bus").string()},
        {"LD_PRELOAD", std::nullopt},
    }};
    for (const auto& [name, value] : env) {
        env_.emplace_back(name, value);
    }
    return startDaemonAndSessionManager(error);
}

void HeadlessPipeWire::killDaemon() {
    if (daemon_ > 0) {
        kill(daemon_, SIGKILL);
        endProcess(daemon_);
    }
}

bool HeadlessPipeWire::restart(std::string& error) {
    endProcess(sessionManager_);
    endProcess(daemon_);
    return startDaemonAndSessionManager(error);
}

void HeadlessPipeWire::stop() {
    endProcess(sessionManager_);
    endProcess(bus_);
    endProcess(daemon_);
    env_.clear();
    folder_.reset();
}

} // namespace merriphonic::test
