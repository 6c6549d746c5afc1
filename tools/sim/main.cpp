// merriphonic-sim: one party in virtual time (a host and up to seven speakers on simulated
// computers with their own clocks, sound cards and radios) and a report of how closely every
// speaker followed the host, judged by what the virtual sound cards heard.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>

#include "tests/party/fixture/sim_party.h"

namespace merriphonic {
namespace {

constexpr const char* usage = R"(usage: merriphonic-sim [options]

Runs one party in virtual time: the host imports a generated song through the real library
and transcoder, every speaker joins over the simulated Bluetooth LE air, the host selects the
song and everyone plays it to the end. Prints the alignment of every speaker to the host.

  --speakers N         speakers, 1 to 7 (default 7)
  --seed N             the run's seed: clocks, cards, positions and the air (default 1)
  --song-seconds S     length of the generated song (default 180)
  --clock-skew-ppm P   clocks drawn within ±P ppm of true time (default 50)
  --crystal-ppm P      sound cards drawn within ±P ppm (default 100)
  --settle-seconds S   alignment is judged from S seconds after the host's first sound
                       (default 5)
  --json FILE          also write the report as JSON
  --help               this text
)";

struct Options {
    SimPartyConfig party;
    double songSeconds = 180.0;
    double settleSeconds = 5.0;
    std::optional<std::string> jsonFile;
};

std::optional<Options> parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const auto value = [&]() -> std::optional<std::string> {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "merriphonic-sim: %s needs a value\n", argv[i]);
                return std::nullopt;
            }
            return std::string(argv[++i]);
        };
        const auto number = [&](double& out) {
            const std::optional<std::string> text = value();
            if (!text) {
                return false;
            }
            char* end = nullptr;
            out = std::strtod(text->c_str(), &end);
            if (end == text->c_str() || *end != '\0') {
                std::fprintf(stderr, "merriphonic-sim: not a number: %s\n", text->c_str());
                return false;
            }
            return true;
        };
        double x = 0;
        if (arg == "--help" || arg == "-h") {
            std::fputs(usage, stdout);
            std::exit(0);
        } else if (arg == "--speakers") {
            if (!number(x) || x < 1 || x > 7) {
                std::fprintf(stderr, "merriphonic-sim: --speakers takes 1 to 7\n");
                return std::nullopt;
            }
            options.party.speakers = static_cast<int>(x);
        } else if (arg == "--seed") {
            if (!number(x) || x < 0) {
                return std::nullopt;
            }
            options.party.seed = static_cast<uint64_t>(x);
        } else if (arg == "--song-seconds") {
            if (!number(x) || x < 10) {
                std::fprintf(stderr, "merriphonic-sim: --song-seconds takes 10 or more\n");
                return std::nullopt;
            }
            options.songSeconds = x;
        } else if (arg == "--clock-skew-ppm") {
            if (!number(x)) {
                return std::nullopt;
            }
            options.party.maxClockSkewPpm = x;
        } else if (arg == "--crystal-ppm") {
            if (!number(x)) {
                return std::nullopt;
            }
            options.party.maxCrystalPpm = x;
        } else if (arg == "--settle-seconds") {
            if (!number(x) || x < 0) {
                return std::nullopt;
            }
            options.settleSeconds = x;
        } else if (arg == "--json") {
            options.jsonFile = value();
            if (!options.jsonFile) {
                return std::nullopt;
            }
        } else {
            std::fprintf(stderr, "merriphonic-sim: unknown option %s (see --help)\n", argv[i]);
            return std::nullopt;
        }
    }
    return options;
}

std::string json(const SimPartyFigures& figures, double speed) {
    std::string out = "{\"speakers\":[";
    for (size_t i = 0; i < figures.speakers.size(); ++i) {
        const auto& s = figures.speakers[i];
        char line[256];
        std::snprintf(line, sizeof line,
                      "%s{\"name\":\"%s\",\"p50Ms\":%.4f,\"p99Ms\":%.4f,\"maxMs\":%.4f,"
                      "\"offsetErrorUs\":%.1f}",
                      i == 0 ? "" : ",", s.name.c_str(), s.p50Ms, s.p99Ms, s.maxMs,
                      s.offsetErrorNs ? double(*s.offsetErrorNs) / 1e3 : 0.0);
        out += line;
    }
    char tail[256];
    std::snprintf(tail, sizeof tail,
                  "],\"alignP50Ms\":%.4f,\"alignP99Ms\":%.4f,\"alignMaxMs\":%.4f,"
                  "\"selectToSoundS\":%.3f,\"speedX\":%.1f}\n",
                  figures.worstP50Ms(), figures.worstP99Ms(), figures.worstMaxMs(),
                  figures.latestFirstSoundS().value_or(0.0), speed);
    return out + tail;
}

int run(const Options& options) {
    const auto wallStart = std::chrono::steady_clock::now();
    SimParty party(options.party);
    std::fprintf(stderr, "importing a %.0f s song…\n", options.songSeconds);
    const std::optional<LibraryTrack> song = party.addSong(options.songSeconds);
    if (!song || song->state != LibraryTrack::State::ready) {
        std::fprintf(stderr, "merriphonic-sim: the song could not be prepared\n");
        return 1;
    }
    std::fprintf(stderr, "%d speakers joining…\n", options.party.speakers);
    if (!party.joinAll()) {
        std::fprintf(stderr, "merriphonic-sim: not every speaker joined\n");
        return 1;
    }
    const int64_t worldStart = party.nowNs();
    party.select(*song);
    std::fprintf(stderr, "sending and playing…\n");
    const int64_t selected = *party.selectedAtWorldNs();
    if (!party.runUntil([&] { return party.firstMediaHeard(party.host(), selected).has_value(); },
                        600 * SimParty::secNs, 100 * SimParty::msNs)) {
        std::fprintf(stderr, "merriphonic-sim: the host never played\n");
        return 1;
    }
    const int64_t firstSound = party.firstMediaHeard(party.host(), selected)->heardWorldNs;
    party.runFor(static_cast<int64_t>(options.songSeconds * 1e9));
    const SimPartyFigures figures =
        party.figures(firstSound + static_cast<int64_t>(options.settleSeconds * 1e9));
    const double wallS =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    const double speed = double(party.nowNs() - worldStart) / 1e9 / wallS;

    std::printf("speaker   p50 ms   p99 ms   max ms   offset error us\n");
    for (const auto& s : figures.speakers) {
        std::printf("%-8s %7.3f  %7.3f  %7.3f  %+10.1f\n", s.name.c_str(), s.p50Ms, s.p99Ms,
                    s.maxMs, s.offsetErrorNs ? double(*s.offsetErrorNs) / 1e3 : 0.0);
    }
    std::printf("worst    %7.3f  %7.3f  %7.3f\n", figures.worstP50Ms(), figures.worstP99Ms(),
                figures.worstMaxMs());
    std::printf("select to first sound: %.2f s; %.0f× real time\n",
                figures.latestFirstSoundS().value_or(0.0), speed);
    if (options.jsonFile) {
        std::ofstream(*options.jsonFile) << json(figures, speed);
    }
    return 0;
}

} // namespace
} // namespace merriphonic

int main(int argc, char** argv) {
    const std::optional<merriphonic::Options> options = merriphonic::parse(argc, argv);
    return options ? merriphonic::run(*options) : 2;
}
