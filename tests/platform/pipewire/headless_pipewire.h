#pragma once

#include <sys/types.h>

#include <filesystem>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/qt_test_support.h"

namespace merriphonic::test {

// A private PipeWire daemon with one null sink ("test-sink", stereo, with monitor ports) and
// a session manager that links streams to it. Everything lives in a fresh 0700 runtime
// folder; until stop(), this process's XDG_RUNTIME_DIR and PIPEWIRE_RUNTIME_DIR point there,
// so PipeWire clients created meanwhile talk to this daemon. Every process started is ended by
// its pid.
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

    // Runs a PipeWire command-line tool against this daemon; returns its exit status.
    int runTool(const std::vector<std::string>& argv, std::string* output = nullptr) const;

private:
    [[nodiscard]] std::filesystem::path dir() const { return folder_->path(); }
    bool startDaemonAndSessionManager(std::string& error);
    bool waitForSink(std::string& error);
    pid_t spawn(const std::vector<std::string>& argv, const std::string& log,
                std::string& error) const;
    std::string logs() const;

    std::unique_ptr<TempFolder> folder_;
    std::list<ScopedEnv> env_;
    pid_t daemon_ = -1;
    pid_t bus_ = -1;
    pid_t sessionManager_ = -1;
};

} // namespace merriphonic::test
