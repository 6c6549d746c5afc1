#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace merriphonic::test {

// A private PipeWire daemon with one null sink ("test-sink", stereo, with monitor ports) and
// a session manager that links streams to it. Everything lives in a fresh 0700 runtime
// folder; this process's XDG_RUNTIME_DIR and PIPEWIRE_RUNTIME_DIR point there, so PipeWire
// clients created afterwards talk to this daemon. Every process started is ended by its pid.
class HeadlessPipeWire {
public:
    static constexpr const char* sinkName = "test-sink";

    HeadlessPipeWire() = default;
    ~HeadlessPipeWire();
    HeadlessPipeWire(const HeadlessPipeWire&) = delete;
    HeadlessPipeWire& operator=(const HeadlessPipeWire&) = delete;

    // Starts the daemon, a session bus and the session manager, and waits until the
    // session manager has chosen the sink. On failure, error tells why (with the logs).
    bool start(std::string& error);
    // Ends every process started, and removes the folder.
    void stop();
    // Kills the daemon alone, as a crash would.
    void killDaemon();
    // Ends the session manager and the daemon, then starts both again in the same folder.
    bool restart(std::string& error);

    [[nodiscard]] const std::filesystem::path& runtimeDir() const { return dir_; }
    // Runs a PipeWire command-line tool against this daemon; returns its exit status.
    int runTool(const std::vector<std::string>& argv, std::string* output = nullptr) const;

private:
    bool startDaemon(std::string& error);
    bool startSessionManager(std::string& error);
    bool waitForSink(std::string& error);
    pid_t spawn(const std::vector<std::string>& argv, const std::filesystem::path& log,
                std::string& error) const;
    std::string logs() const;

    std::filesystem::path dir_;
    pid_t daemon_ = -1;
    pid_t bus_ = -1;
    pid_t sessionManager_ = -1;
};

// Sends SIGTERM, waits up to a second, then SIGKILL; reaps the child. Sets pid to -1.
void endProcess(pid_t& pid);

} // namespace merriphonic::test
