#include "tools/cli/cli_options.h"

#include <charconv>
#include <cmath>
#include <map>
#include <set>
#include <string_view>

#include "core/result.h"

namespace merriphonic {

namespace {

using Command = CliOptions::Command;

// Where each option may appear.
const std::map<std::string_view, std::set<Command>>& optionCommands() {
    static const std::map<std::string_view, std::set<Command>> commands{
        {"--name", {Command::host}},
        {"--import", {Command::host}},
        {"--play", {Command::host}},
        {"--wait-for", {Command::host}},
        {"--party", {Command::join}},
        {"--timeout", {Command::join, Command::parties}},
        {"--heard-log", {Command::host, Command::join}},
        {"--verbose", {Command::host, Command::join, Command::parties}},
        {"-v", {Command::host, Command::join, Command::parties}},
    };
    return commands;
}

std::optional<Command> commandNamed(std::string_view name) {
    if (name == "host") {
        return Command::host;
    }
    if (name == "join") {
        return Command::join;
    }
    if (name == "parties") {
        return Command::parties;
    }
    return std::nullopt;
}

std::optional<double> positiveSeconds(std::string_view text) {
    double value = 0.0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value) ||
        value <= 0.0) {
        return std::nullopt;
    }
    return value;
}

std::optional<int> wholeNumber(std::string_view text) {
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

// "-x" and "--x", but not "-" or a negative number (a value, refused by its option).
bool isOption(std::string_view argument) {
    return argument.size() > 1 && argument[0] == '-' && (argument[1] < '0' || argument[1] > '9') &&
           argument[1] != '.';
}

// Reads one command's options; the first argument is the command.
class Reader {
public:
    Reader(const std::vector<std::string>& arguments, Command command) : arguments_(arguments) {
        options_.command = command;
        options_.timeoutS =
            command == Command::join ? CliOptions::defaultJoinTimeoutS : CliOptions::defaultScanS;
    }

    CliParse read() {
        while (index_ < arguments_.size()) {
            const std::string& argument = arguments_[index_++];
            if (!isOption(argument)) {
                return CliUsageError{"unexpected argument '" + argument + "'"};
            }
            const auto known = optionCommands().find(argument);
            if (known == optionCommands().end()) {
                return CliUsageError{"unknown option '" + argument + "'"};
            }
            if (!known->second.contains(options_.command)) {
                return CliUsageError{argument + " does not apply to " + commandName()};
            }
            if (Result<Done, std::string> applied = apply(argument); !applied) {
                return CliUsageError{applied.error()};
            }
        }
        if (options_.waitForSpeakers > 0 && !options_.play) {
            return CliUsageError{"--wait-for needs --play"};
        }
        return options_;
    }

private:
    [[nodiscard]] std::string commandName() const {
        switch (options_.command) {
        case Command::host:
            return "host";
        case Command::join:
            return "join";
        case Command::parties:
            return "parties";
        }
        return {};
    }

    // The option's value, or nothing when the arguments end or the next one is an option.
    std::optional<std::string> value() {
        if (index_ >= arguments_.size() || isOption(arguments_[index_])) {
            return std::nullopt;
        }
        return arguments_[index_++];
    }

    // Applies one option, taking its value; else why it cannot.
    Result<Done, std::string> apply(const std::string& option) {
        if (option == "--play") {
            options_.play = true;
            return Done{};
        }
        if (option == "--verbose" || option == "-v") {
            options_.verbose = true;
            return Done{};
        }
        if (option == "--import") {
            // Every argument up to the next option is a file.
            const size_t before = options_.imports.size();
            while (std::optional<std::string> file = value()) {
                options_.imports.emplace_back(*file);
            }
            if (options_.imports.size() == before) {
                return std::string("--import needs at least one FILE");
            }
            return Done{};
        }
        const std::optional<std::string> text = value();
        if (!text) {
            return option + " needs a value";
        }
        if (option == "--name" || option == "--party") {
            if (text->find_first_not_of(" \t\r\n") == std::string::npos) {
                return option + " needs a name that is not blank";
            }
            (option == "--name" ? options_.partyName : options_.party) = *text;
        } else if (option == "--timeout") {
            const std::optional<double> seconds = positiveSeconds(*text);
            if (!seconds) {
                return "--timeout takes a positive number of seconds, not '" + *text + "'";
            }
            options_.timeoutS = *seconds;
        } else if (option == "--wait-for") {
            const std::optional<int> count = wholeNumber(*text);
            if (!count || *count < 1 || *count > CliOptions::maxSpeakers) {
                return "--wait-for takes a number of speakers from 1 to 7, not '" + *text + "'";
            }
            options_.waitForSpeakers = *count;
        } else if (option == "--heard-log") {
            options_.heardLog = std::filesystem::path(*text);
        }
        return Done{};
    }

    const std::vector<std::string>& arguments_;
    size_t index_ = 1; // after the command
    CliOptions options_;
};

} // namespace

CliParse parseCli(const std::vector<std::string>& arguments) {
    for (const std::string& argument : arguments) {
        if (argument == "--help" || argument == "-h") {
            return CliHelp{};
        }
    }
    if (arguments.empty()) {
        return CliUsageError{"missing command (host, join or parties)"};
    }
    const std::optional<Command> command = commandNamed(arguments.front());
    if (!command) {
        return CliUsageError{"unknown command '" + arguments.front() + "' (host, join or parties)"};
    }
    return Reader(arguments, *command).read();
}

const char* cliUsage() {
    return R"(usage: merriphonic-cli host [--name NAME] [--import FILE...] [--play [--wait-for N]]
       merriphonic-cli join [--party NAME] [--timeout S]
       merriphonic-cli parties [--timeout S]

Plays one song on several computers at the same instant over Bluetooth LE.

  host      Hosts a party and shows its speakers (name, status, round trip, delay) and
            the song transfer. Press q or Ctrl-C to end the party.
    --name NAME       the party's name (default: this computer's name + "'s party")
    --import FILE...  copies the files into the library first
    --play            plays the library in order once it is ready
    --wait-for N      with --play: waits until N speakers have joined (1 to 7)

  join      Finds a party, joins it as a speaker and shows its phase, state, clock
            sync and position. Press q or Ctrl-C to leave.
    --party NAME      the party to join (default: the one with the strongest signal)
    --timeout S       how long to look for it, in seconds (default: 30)

  parties   Lists the parties nearby, with their signal strength.
    --timeout S       how long to listen, in seconds (default: 4)

  host and join:
    --heard-log FILE  writes for every sound buffer the monotonic time (ns) at which it
                      is heard and the media position (frames) it starts at
  all:
    -v, --verbose     log lines on stderr (by default only errors)
    -h, --help        shows this text

Environment: MERRIPHONIC_RADIO=local parties between programs on this computer;
MERRIPHONIC_AUDIO=null a silent output; MERRIPHONIC_BT_ADAPTER=hciN the Bluetooth
adapter; MERRIPHONIC_LOG=debug|info|error the log level.

Exit status: 0 when the party ended or was left as asked, or parties were found; 1 when
something failed (the radio, an import, no party found, the host lost); 2 for a command
line that can't be run; 130 when interrupted a second time while ending.
)";
}

} // namespace merriphonic
