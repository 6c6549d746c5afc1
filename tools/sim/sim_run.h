#pragma once

// One scripted party in virtual time and what it measured: the simulator's engine, apart from
// its command line so that tests can run it.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/result.h"
#include "tools/sim/sim_party.h"

namespace merriphonic {

// Something that happens at a time after the host selected the song.
struct SimEvent {
    enum class Kind { pause, play, seek, next, drop, rejoin, leave, end };
    int64_t atNs = 0;
    Kind kind = Kind::pause;
    int64_t seekMs = 0; // seek
    int speaker = 0;    // drop, rejoin, leave: the index (spk1 is 0)
    std::string text;   // as given

    bool operator==(const SimEvent&) const = default;
};

// "60s:pause", "90:seek:30s", "2m:drop:spk3": a time (s, with an optional s or m), then an
// action. Else why it is none.
Result<SimEvent, std::string> parseSimEvent(std::string_view text);

// A speaker's own delay, as its user sets it: "spkN:MS" (MS within the delay range).
struct SimDelay {
    int speaker = 0; // 0-based
    int delayMs = 0;
    bool operator==(const SimDelay&) const = default;
};
Result<SimDelay, std::string> parseSimDelay(std::string_view text);
// "1.5", "20s", "2m" in ns; nothing when it is none of these or negative.
std::optional<int64_t> parseSimDuration(std::string_view text);

struct SimRunOptions {
    SimPartyConfig party;                      // party.speakers may be 8: the eighth is refused
    std::optional<std::filesystem::path> song; // else a generated one of songSeconds
    double songSeconds = 180.0;
    double settleSeconds = 5.0; // after the first sound, and after every event
    std::vector<SimEvent> events;
    // Speakers' own delays: a card plays its delay early (for the sound system behind it), and
    // is judged so.
    std::vector<SimDelay> delays;
    // What the speakers' players follow: the event-grid estimate, or the exchange with the
    // smallest round trip (for comparison).
    SpeakerSession::ClockEstimate clockEstimate = SpeakerSession::ClockEstimate::eventGrid;
    // Called about once a second of world time with a one-line state.
    std::function<void(const std::string&)> progress;
};

struct SimRunReport {
    // A speaker counts as converged within this of the host.
    static constexpr double alignedMs = 1.0;
    // The resolution of the series and of the plot.
    static constexpr double binS = 0.5;

    struct Speaker {
        std::string name;
        size_t buffers = 0; // buffers judged
        double p50Ms = 0.0;
        double p99Ms = 0.0;
        double maxMs = 0.0;
        // From the speaker's first sound until its error stays within 1 ms.
        double convergeS = 0.0;
        int resyncs = 0;              // hard re-syncs and re-plans for a jump of the clock estimate
        std::optional<double> readyS; // select → the song complete and verified
        std::optional<double> firstSoundS; // select → first media heard
        double offsetErrP99Ms = 0.0;       // the player's clock estimate against the truth
        double offsetErrMaxMs = 0.0;
        // The largest error in each half second, from the host's first sound: (s, ms).
        std::vector<std::pair<double, double>> series;
    };
    std::vector<Speaker> speakers;
    std::string refusedText; // what an eighth speaker was told
    std::optional<double> allReadyS;
    std::optional<double> firstSoundS; // the host's
    double radioUtilisation = 0.0;     // host bytes during the transfer over the radio's capacity
    std::vector<std::pair<std::string, double>> eventsDone; // as given, world s after select
    // When the host's sound card began a stretch of media (a start, a resume, a seek), s after
    // the select, and the song position it began at, ms.
    std::vector<std::pair<double, double>> hostStarts;
    double worldSeconds = 0.0;
    double wallSeconds = 0.0;
    bool ok = false;
    std::string failure;

    [[nodiscard]] double worst(double Speaker::*field) const;
    [[nodiscard]] double speedX() const { return wallSeconds > 0 ? worldSeconds / wallSeconds : 0; }
};

SimRunReport runSimParty(const SimRunOptions& options);

// The report as a table, as JSON (with the bench figures under "bench"), and as an SVG plot of
// every speaker's error over time.
std::string simReportText(const SimRunReport& report);
std::string simReportJson(const SimRunReport& report);
std::string simReportSvg(const SimRunReport& report);

// A number printed with a printf format, as the reports and the progress lines show it.
std::string simFormat(const char* format, double value);

} // namespace merriphonic
