#pragma once

// merriphonic-cli run as the user runs it: separate processes on this computer, meeting over
// the same-machine radio, with silent outputs. Each process has its own preferences, library
// and cache; all share one runtime folder (the radio's rendezvous).

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/files.h"

namespace merriphonic::test {

// One merriphonic-cli process: its output goes to files, its input comes from a pipe.
class CliProcess {
public:
    CliProcess(const std::filesystem::path& folder, const std::vector<std::string>& arguments,
               const std::map<std::string, std::string>& environment);
    ~CliProcess();
    CliProcess(const CliProcess&) = delete;
    CliProcess& operator=(const CliProcess&) = delete;

    void signal(int number) const;
    // Types on its standard input.
    void type(const std::string& text) const;
    // Its exit status once it has ended within the time; nothing while it still runs (a
    // process killed by a signal reports 128 + the signal).
    std::optional<int> wait(std::chrono::milliseconds limit);
    [[nodiscard]] bool running();

    [[nodiscard]] std::string out() const;
    [[nodiscard]] std::string err() const;
    // Waits until its standard output holds the text; false when it does not within the time
    // or the process ends first.
    bool waitForOut(const std::string& text, std::chrono::milliseconds limit);

private:
    std::filesystem::path outFile_;
    std::filesystem::path errFile_;
    pid_t pid_ = -1;
    int input_ = -1;
    std::optional<int> status_;
};

// A computer's worth of merriphonic-cli users.
class CliRig {
public:
    CliRig();
    ~CliRig();
    CliRig(const CliRig&) = delete;
    CliRig& operator=(const CliRig&) = delete;

    // Starts merriphonic-cli as the named user (own config, data and cache folders; the
    // stored name is the user's name).
    CliProcess& start(const std::string& user, const std::vector<std::string>& arguments);

    [[nodiscard]] std::filesystem::path file(const std::string& name) const {
        return root_.path() / name;
    }
    // The hosts' records in the radio's rendezvous folder: a party left behind shows here.
    [[nodiscard]] std::vector<std::string> advertisedParties() const;
    // A song of the given length, made with the ffmpeg tool.
    [[nodiscard]] std::filesystem::path song(double seconds) const;

private:
    TemporaryFolder root_{"/tmp/mpcli-"}; // short: the radio's sockets live below it
    std::vector<std::unique_ptr<CliProcess>> processes_;
    int started_ = 0;
};

} // namespace merriphonic::test
