// merriphonic-sim: one party in virtual time (a host and up to seven speakers on simulated
// computers with their own clocks, sound cards and radios) and a report of how closely every
// speaker followed the host, judged by what the virtual sound cards heard.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>

#include "tools/sim/sim_run.h"

namespace merriphonic {
namespace {

constexpr const char* usage = R"(usage: merriphonic-sim [options]

Runs one party in virtual time: the host imports a song through the real library and
transcoder, every speaker joins over the simulated Bluetooth LE air, the host selects the song
and everyone plays it to the end. Prints, per speaker, how far what its sound card heard was
from what the host's heard (after settling), and more.

Devices
  --speakers N            speakers, 1 to 8; the eighth is refused ("party full") (default 7)
  --seed N                the run's seed: clocks, cards, positions, the air (default 1)
  --clock-skew-ppm P      clocks drawn within ±P ppm of true time (default 50)
  --crystal-ppm P         sound cards' crystals drawn within ±P ppm (default 100)
  --latency-ms MIN:MAX    sound cards' output latency drawn within (default 2:12)
  --delay-ms spkN:MS      a speaker's own delay (-200 to 500), as its user sets it: its card
                          plays that much early, for the sound system behind it, and is
                          judged so; may be given again
Radio (Bluetooth LE 2M PHY, L2CAP credit-based channels)
  --interval-ms MS        connection interval, 7.5 to 100 (default 30, BlueZ's)
  --stack-latency-ms A:B  kernel, HCI and wake-up latency per direction, uniform (default 0.3:3)
  --pdus-per-event N      packet exchanges a controller puts in one event (default 12)
  --duty-cycle F          share of each interval a radio gives its links (default 0.85)
  --send-buffer-kib K     what a channel socket holds before the link (default 4)
  --loss-percent P        packet exchanges lost to interference, sent again (default 0)
                          One link then carries about 91 kB/s, the host's radio about 136 kB/s
                          shared by all links (L2CAP channels on LE 2M links measure a few
                          hundred kbit/s to 1.4 Mbit/s).
Song and script
  --song FILE             play this file (default: a generated song)
  --song-seconds S        length of the generated song (default 180)
  --event TIME:ACTION     at TIME after the select (60s, 1.5m, 90): pause, play, seek:POS,
                          next (a second song is added), drop:spkN (link lost), rejoin:spkN,
                          leave:spkN, end; may be given again
  --clock-estimate E      what speakers follow: grid (the event-grid estimate) or round-trip
                          (the exchange with the smallest round trip) (default grid)
  --settle-seconds S      alignment is judged from S seconds after the host's first sound and
                          after every event (default 5)
Output
  --json FILE             the report as JSON, with the bench figures under "bench"
  --plot FILE.svg         every speaker's largest error in each half second, over time
  --quiet                 no live progress line
  --help                  this text
)";

struct Options {
    SimRunOptions run;
    std::optional<std::string> jsonFile;
    std::optional<std::string> plotFile;
    bool quiet = false;
};

bool fail(const std::string& message) {
    std::fprintf(stderr, "merriphonic-sim: %s\n", message.c_str());
    return false;
}

std::optional<double> number(std::string_view text) {
    const std::string digits(text);
    char* end = nullptr;
    const double value = std::strtod(digits.c_str(), &end);
    if (digits.empty() || end != digits.c_str() + digits.size() || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

// "A:B" with 0 <= A <= B.
std::optional<std::pair<double, double>> range(std::string_view text) {
    const size_t colon = text.find(':');
    if (colon == std::string_view::npos) {
        return std::nullopt;
    }
    const auto a = number(text.substr(0, colon));
    const auto b = number(text.substr(colon + 1));
    if (!a || !b || *a < 0 || *b < *a) {
        return std::nullopt;
    }
    return std::pair{*a, *b};
}

bool parse(int argc, char** argv, Options& options) {
    SimPartyConfig& party = options.run.party;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(usage, stdout);
            std::exit(0);
        }
        if (arg == "--quiet") {
            options.quiet = true;
            continue;
        }
        if (i + 1 >= argc) {
            return fail(std::string(arg) + " needs a value (see --help)");
        }
        const std::string_view value = argv[++i];
        const std::optional<double> x = number(value);
        const auto within = [&](double low, double high) { return x && *x >= low && *x <= high; };
        const auto bad = [&](const char* what) {
            return fail(std::string(arg) + " takes " + what + ", not " + std::string(value));
        };
        if (arg == "--speakers") {
            if (!within(1, 8) || *x != std::floor(*x)) {
                return bad("1 to 8");
            }
            party.speakers = static_cast<int>(*x);
        } else if (arg == "--seed") {
            if (!within(0, 1e15)) {
                return bad("a whole number");
            }
            party.seed = static_cast<uint64_t>(*x);
        } else if (arg == "--clock-skew-ppm" || arg == "--crystal-ppm") {
            if (!within(0, 500)) {
                return bad("0 to 500");
            }
            (arg == "--crystal-ppm" ? party.maxCrystalPpm : party.maxClockSkewPpm) = *x;
        } else if (arg == "--latency-ms") {
            const auto r = range(value);
            if (!r || r->second > 500) {
                return bad("MIN:MAX in ms");
            }
            party.minOutputLatencyNs = std::llround(r->first * 1e6);
            party.maxOutputLatencyNs = std::llround(r->second * 1e6);
        } else if (arg == "--interval-ms") {
            if (!within(7.5, 100)) {
                return bad("7.5 to 100");
            }
            party.radio.connectionIntervalNs = std::llround(*x * 1e6);
        } else if (arg == "--stack-latency-ms") {
            const auto r = range(value);
            if (!r || r->second > 100) {
                return bad("MIN:MAX in ms");
            }
            party.radio.stackLatencyMinNs = std::llround(r->first * 1e6);
            party.radio.stackLatencyMaxNs = std::llround(r->second * 1e6);
        } else if (arg == "--pdus-per-event") {
            if (!within(1, 100)) {
                return bad("1 to 100");
            }
            party.radio.maxPdusPerEvent = static_cast<int>(*x);
        } else if (arg == "--duty-cycle") {
            if (!within(0.05, 1)) {
                return bad("0.05 to 1");
            }
            party.radio.radioDutyCycle = *x;
        } else if (arg == "--send-buffer-kib") {
            if (!within(1, 1024)) {
                return bad("1 to 1024");
            }
            party.radio.sendBufferBytes = static_cast<size_t>(*x * 1024);
        } else if (arg == "--loss-percent") {
            if (!within(0, 50)) {
                return bad("0 to 50");
            }
            party.radio.pduLossRatio = *x / 100.0;
        } else if (arg == "--song") {
            options.run.song = std::string(value);
        } else if (arg == "--song-seconds") {
            if (!within(10, 3600)) {
                return bad("10 to 3600");
            }
            options.run.songSeconds = *x;
        } else if (arg == "--delay-ms") {
            const Result<SimDelay, std::string> delay = parseSimDelay(value);
            if (!delay) {
                return fail(delay.error());
            }
            options.run.delays.push_back(*delay);
        } else if (arg == "--event") {
            const Result<SimEvent, std::string> event = parseSimEvent(value);
            if (!event) {
                return fail(event.error());
            }
            if (event->speaker >= std::min(party.speakers, 7) &&
                (event->kind == SimEvent::Kind::drop || event->kind == SimEvent::Kind::rejoin ||
                 event->kind == SimEvent::Kind::leave)) {
                return fail("no such speaker in the party: " + event->text);
            }
            options.run.events.push_back(*event);
        } else if (arg == "--clock-estimate") {
            if (value != "grid" && value != "round-trip") {
                return bad("grid or round-trip");
            }
            options.run.clockEstimate = value == "grid"
                                            ? SpeakerSession::ClockEstimate::eventGrid
                                            : SpeakerSession::ClockEstimate::minimumRoundTrip;
        } else if (arg == "--settle-seconds") {
            if (!within(0, 3600)) {
                return bad("0 or more");
            }
            options.run.settleSeconds = *x;
        } else if (arg == "--json") {
            options.jsonFile = std::string(value);
        } else if (arg == "--plot") {
            options.plotFile = std::string(value);
        } else {
            return fail("unknown option " + std::string(arg) + " (see --help)");
        }
    }
    return true;
}

bool write(const std::string& file, const std::string& text) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    return out.good() || fail("cannot write " + file);
}

int run(Options& options) {
    const bool live = !options.quiet && isatty(STDERR_FILENO) != 0;
    if (!options.quiet) {
        options.run.progress = [live](const std::string& line) {
            if (live) {
                std::fprintf(stderr, "\r\033[K%s", line.c_str());
            }
        };
    }
    const SimRunReport report = runSimParty(options.run);
    if (live) {
        std::fputs("\r\033[K", stderr);
    }
    if (!report.ok) {
        fail(report.failure);
        return 1;
    }
    std::fputs(simReportText(report).c_str(), stdout);
    bool written = true;
    if (options.jsonFile) {
        written = write(*options.jsonFile, simReportJson(report)) && written;
    }
    if (options.plotFile) {
        written = write(*options.plotFile, simReportSvg(report)) && written;
    }
    return written ? 0 : 1;
}

} // namespace
} // namespace merriphonic

int main(int argc, char** argv) {
    merriphonic::Options options;
    if (!merriphonic::parse(argc, argv, options)) {
        return 2;
    }
    return merriphonic::run(options);
}
