#include "tests/platform/pipewire/headless_pipewire.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ; // NOLINT(readability-redundant-declaration)

namespace merriphonic::test {

namespace {

// Debian's minimal daemon configuration with the ALSA source and sink replaced by one null
// sink. The sink drives the graph from a CLOCK_MONOTONIC timer, and its monitor ports give
// back what it consumed.
constexpr const char* daemonConfig = R"(
context.properties = {
    link.max-buffers = 16
    core.daemon      = true
    core.name        = pipewire-0
    settings.check-quantum = true
    settings.check-rate    = true
    default.clock.rate          = 48000
    default.clock.allowed-rates = [ 44100 48000 ]
}
context.spa-libs = {
    audio.convert.* = audioconvert/libspa-audioconvert
    support.*       = support/libspa-support
}
context.modules = [
    { name = libpipewire-module-rt args = { nice.level = -11 } flags = [ ifexists nofail ] }
    { name = libpipewire-module-protocol-native }
    { name = libpipewire-module-profiler }
    { name = libpipewire-module-metadata }
    { name = libpipewire-module-spa-node-factory }
    { name = libpipewire-module-client-node }
    { name = libpipewire-module-access }
    { name = libpipewire-module-adapter }
    { name = libpipewire-module-link-factory }
]
context.objects = [
    { factory = metadata args = { metadata.name = default } }
    { factory = spa-node-factory
        args = {
            factory.name    = support.node.driver
            node.name       = Dummy-Driver
            node.group      = pipewire.dummy
            priority.driver = 20000
        }
    }
    { factory = spa-node-factory
        args = {
            factory.name    = support.node.driver
            node.name       = Freewheel-Driver
            priority.driver = 19000
            node.group      = pipewire.freewheel
            node.freewheel  = true
        }
    }
    { factory = adapter
        args = {
            factory.name     = support.null-audio-sink
            node.name        = "test-sink"
            node.description = "test sink"
            media.class      = "Audio/Sink"
            audio.position   = [ FL FR ]
            object.linger    = true
            adapter.auto-port-config = {
                mode     = dsp
                monitor  = true
                position = preserve
            }
        }
    }
]
)";

constexpr auto pollInterval = std::chrono::milliseconds(10);

bool exited(pid_t pid) {
    int status = 0;
    return waitpid(pid, &status, WNOHANG) == pid;
}

std::string tail(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    std::string s = text.str();
    constexpr size_t keep = 2000;
    return s.size() > keep ? s.substr(s.size() - keep) : s;
}

// The environment of every child: this process's, pointed at the private folder.
std::vector<std::string> childEnvironment(const std::filesystem::path& dir) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry(*e);
        const std::string name = entry.substr(0, entry.find('='));
        if (name != "XDG_RUNTIME_DIR" && name != "PIPEWIRE_RUNTIME_DIR" &&
            name != "PIPEWIRE_REMOTE" && name != "XDG_STATE_HOME" && name != "XDG_CONFIG_HOME" &&
            name != "DBUS_SESSION_BUS_ADDRESS" && name.rfind("TSAN_", 0) != 0 &&
            name.rfind("ASAN_", 0) != 0 && name != "LD_PRELOAD") {
            env.push_back(entry);
        }
    }
    env.push_back("XDG_RUNTIME_DIR=" + dir.string());
    env.push_back("PIPEWIRE_RUNTIME_DIR=" + dir.string());
    env.push_back("XDG_STATE_HOME=" + (dir / "state").string());
    env.push_back("XDG_CONFIG_HOME=" + (dir / "config").string());
    env.push_back("DBUS_SESSION_BUS_ADDRESS=unix:path=" + (dir / "bus").string());
    return env;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> out;
    out.reserve(strings.size() + 1);
    for (auto& s : strings) {
        out.push_back(s.data());
    }
    out.push_back(nullptr);
    return out;
}

bool waitFor(const std::filesystem::path& file, pid_t pid, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (std::filesystem::exists(file)) {
            return true;
        }
        if (exited(pid)) {
            return false;
        }
        std::this_thread::sleep_for(pollInterval);
    }
    return false;
}

} // namespace

void endProcess(pid_t& pid) {
    if (pid <= 0) {
        return;
    }
    kill(pid, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    bool gone = false;
    while (!gone && std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        const pid_t r = waitpid(pid, &status, WNOHANG);
        gone = r == pid || (r < 0 && errno == ECHILD);
        if (!gone) {
            std::this_thread::sleep_for(pollInterval);
        }
    }
    if (!gone) {
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
    }
    pid = -1;
}

HeadlessPipeWire::~HeadlessPipeWire() {
    stop();
}

pid_t HeadlessPipeWire::spawn(const std::vector<std::string>& argv,
                              const std::filesystem::path& log, std::string& error) const {
    std::vector<std::string> args = argv;
    std::vector<std::string> env = childEnvironment(dir_);
    std::vector<char*> argp = pointers(args);
    std::vector<char*> envp = pointers(env);
    const std::string logPath = log.string();
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
        error = std::string("fork failed: ") + std::strerror(errno);
        return -1;
    }
    if (pid == 0) {
        // Only async-signal-safe calls until exec. The child dies with the test process.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) {
            _exit(127);
        }
        const int in = open("/dev/null", O_RDONLY);
        const int out = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (in >= 0) {
            dup2(in, STDIN_FILENO);
        }
        if (out >= 0) {
            dup2(out, STDOUT_FILENO);
            dup2(out, STDERR_FILENO);
        }
        execvpe(argp[0], argp.data(), envp.data());
        _exit(127);
    }
    return pid;
}

int HeadlessPipeWire::runTool(const std::vector<std::string>& argv, std::string* output) const {
    std::vector<std::string> args{"timeout", "5"};
    args.insert(args.end(), argv.begin(), argv.end());
    const std::filesystem::path out = dir_ / "tool.out";
    std::filesystem::remove(out);
    std::string error;
    pid_t pid = spawn(args, out, error);
    if (pid < 0) {
        return -1;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (output != nullptr) {
        *output = tail(out);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string HeadlessPipeWire::logs() const {
    return "\n--- daemon log:\n" + tail(dir_ / "daemon.log") + "\n--- session bus log:\n" +
           tail(dir_ / "bus.log") + "\n--- session manager log:\n" +
           tail(dir_ / "session-manager.log");
}

bool HeadlessPipeWire::startDaemon(std::string& error) {
    // A killed daemon leaves its socket behind.
    std::filesystem::remove(dir_ / "pipewire-0");
    std::filesystem::remove(dir_ / "pipewire-0.lock");
    const std::filesystem::path config = dir_ / "daemon.conf";
    std::ofstream(config) << daemonConfig;
    daemon_ = spawn({"pipewire", "-c", config.string()}, dir_ / "daemon.log", error);
    if (daemon_ < 0) {
        return false;
    }
    if (!waitFor(dir_ / "pipewire-0", daemon_, std::chrono::seconds(10))) {
        error = "the PipeWire daemon did not come up" + logs();
        return false;
    }
    return true;
}

bool HeadlessPipeWire::startSessionManager(std::string& error) {
    // The session manager exits without a session bus, so it gets a private one.
    if (bus_ < 0) {
        bus_ = spawn({"dbus-daemon", "--session", "--nofork", "--nopidfile",
                      "--address=unix:path=" + (dir_ / "bus").string()},
                     dir_ / "bus.log", error);
        if (bus_ < 0) {
            return false;
        }
        if (!waitFor(dir_ / "bus", bus_, std::chrono::seconds(10))) {
            error = "the session bus did not come up" + logs();
            return false;
        }
    }
    sessionManager_ = spawn({"wireplumber"}, dir_ / "session-manager.log", error);
    return sessionManager_ >= 0;
}

bool HeadlessPipeWire::waitForSink(std::string& error) {
    // Now and then the session manager comes up without ever choosing a default sink; a fresh
    // one does.
    constexpr int attempts = 3;
    std::string output;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        if (attempt > 0) {
            endProcess(sessionManager_);
            sessionManager_ = spawn({"wireplumber"}, dir_ / "session-manager.log", error);
            if (sessionManager_ < 0) {
                return false;
            }
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(6);
        while (std::chrono::steady_clock::now() < deadline) {
            if (exited(sessionManager_)) {
                sessionManager_ = -1;
                error = "the session manager exited" + logs();
                return false;
            }
            output.clear();
            if (runTool({"pw-metadata", "-n", "default", "0", "default.audio.sink"}, &output) ==
                    0 &&
                output.find(sinkName) != std::string::npos) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    std::string status;
    runTool({"wpctl", "status"}, &status);
    error = "the session manager did not choose the null sink (last query: " + output + ")" +
            logs() + "\n--- wpctl status:\n" + status;
    return false;
}

bool HeadlessPipeWire::start(std::string& error) {
    std::string pattern = (std::filesystem::temp_directory_path() / "merriphonic-pw-XXXXXX");
    if (mkdtemp(pattern.data()) == nullptr) {
        error = std::string("mkdtemp failed: ") + std::strerror(errno);
        return false;
    }
    dir_ = pattern;
    chmod(dir_.c_str(), S_IRWXU);
    std::filesystem::create_directories(dir_ / "state");
    std::filesystem::create_directories(dir_ / "config");
    // Clients of this process (the outputs under test) find the daemon through these.
    setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
    setenv("PIPEWIRE_RUNTIME_DIR", dir_.c_str(), 1);
    unsetenv("PIPEWIRE_REMOTE");
    return startDaemon(error) && startSessionManager(error) && waitForSink(error);
}

void HeadlessPipeWire::killDaemon() {
    if (daemon_ > 0) {
        kill(daemon_, SIGKILL);
        int status = 0;
        waitpid(daemon_, &status, 0);
        daemon_ = -1;
    }
}

bool HeadlessPipeWire::restart(std::string& error) {
    endProcess(sessionManager_);
    endProcess(daemon_);
    return startDaemon(error) && startSessionManager(error) && waitForSink(error);
}

void HeadlessPipeWire::stop() {
    endProcess(sessionManager_);
    endProcess(bus_);
    endProcess(daemon_);
    if (!dir_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
        dir_.clear();
    }
}

} // namespace merriphonic::test
