#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace merriphonic {

// What the command line asked for.
struct CliOptions {
    enum class Command { host, join, parties };

    // Exit statuses, as a shell script reads them.
    static constexpr int exitOk = 0;
    static constexpr int exitFailed = 1;
    static constexpr int exitUsage = 2;
    // A second interrupt while the party is being ended cleanly.
    static constexpr int exitInterrupted = 130;

    static constexpr double defaultJoinTimeoutS = 30.0;
    static constexpr double defaultScanS = 4.0;
    static constexpr int maxSpeakers = 7;

    Command command = Command::host;
    // host
    std::optional<std::string> partyName;
    std::vector<std::filesystem::path> imports;
    bool play = false;
    int waitForSpeakers = 0;
    // join
    std::optional<std::string> party;
    // join: to find and join the party; parties: to listen.
    double timeoutS = 0.0;
    // host and join
    std::optional<std::filesystem::path> heardLog;
    bool verbose = false;

    bool operator==(const CliOptions&) const = default;
};

// `--help` anywhere: print the usage and succeed.
struct CliHelp {
    bool operator==(const CliHelp&) const = default;
};

// A command line that cannot be run: the one-line reason.
struct CliUsageError {
    std::string message;
    bool operator==(const CliUsageError&) const = default;
};

using CliParse = std::variant<CliOptions, CliHelp, CliUsageError>;

// Reads the arguments after the program's name.
CliParse parseCli(const std::vector<std::string>& arguments);

// The text of --help.
const char* cliUsage();

} // namespace merriphonic
