#include "tools/sim/sim_run.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <system_error>

#include "core/sync_protocol.h"
#include "core/time_units.h"
#include "platform/sim/sim_link.h"

namespace merriphonic {

namespace {

constexpr int64_t stepNs = 100 * nsPerMs;

double seconds(int64_t ns) {
    return static_cast<double>(ns) / 1e9;
}

std::optional<int> speakerIndex(std::string_view name) {
    if (name.size() < 4 || name.substr(0, 3) != "spk") {
        return std::nullopt;
    }
    int n = 0;
    for (const char c : name.substr(3)) {
        if (c < '0' || c > '9' || n > 100) {
            return std::nullopt;
        }
        n = n * 10 + (c - '0');
    }
    return n >= 1 ? std::optional<int>(n - 1) : std::nullopt;
}

// What a speaker's log says about starting over: hard re-syncs and re-plans while playing.
int resyncsOf(SimPartySpeaker& speaker) {
    int count = 0;
    for (const std::string& line : speaker.device.device.logSink().messages()) {
        if (line.find("hard re-sync") != std::string::npos ||
            line.find("clock estimate moved") != std::string::npos) {
            ++count;
        }
    }
    return count;
}

} // namespace

std::optional<int64_t> parseSimDuration(std::string_view text) {
    double scale = 1e9;
    if (!text.empty() && (text.back() == 's' || text.back() == 'm')) {
        scale = text.back() == 'm' ? 60e9 : 1e9;
        text.remove_suffix(1);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    const std::string digits(text);
    char* end = nullptr;
    const double value = std::strtod(digits.c_str(), &end);
    if (end != digits.c_str() + digits.size() || !(value >= 0) || value > 1e6) {
        return std::nullopt;
    }
    return std::llround(value * scale);
}

Result<SimEvent, std::string> parseSimEvent(std::string_view text) {
    SimEvent event;
    event.text = std::string(text);
    const size_t colon = text.find(':');
    const std::optional<int64_t> at =
        colon == std::string_view::npos ? std::nullopt : parseSimDuration(text.substr(0, colon));
    if (!at) {
        return "an event is TIME:ACTION, for instance 60s:pause: " + event.text;
    }
    event.atNs = *at;
    const std::string_view action = text.substr(colon + 1);
    const size_t argColon = action.find(':');
    const std::string_view verb = action.substr(0, argColon);
    const std::string_view arg =
        argColon == std::string_view::npos ? std::string_view() : action.substr(argColon + 1);
    using Kind = SimEvent::Kind;
    struct Verb {
        std::string_view name;
        Kind kind;
    };
    constexpr Verb verbs[] = {{"pause", Kind::pause}, {"play", Kind::play},
                              {"seek", Kind::seek},   {"next", Kind::next},
                              {"drop", Kind::drop},   {"rejoin", Kind::rejoin},
                              {"leave", Kind::leave}, {"end", Kind::end}};
    const auto* found = std::find_if(std::begin(verbs), std::end(verbs),
                                     [&](const Verb& v) { return v.name == verb; });
    if (found == std::end(verbs)) {
        return "unknown event action (pause, play, seek:T, next, drop:spkN, rejoin:spkN, "
               "leave:spkN, end): " +
               event.text;
    }
    event.kind = found->kind;
    if (event.kind == Kind::seek) {
        const std::optional<int64_t> to = parseSimDuration(arg);
        if (!to) {
            return "seek takes a position, for instance seek:90s: " + event.text;
        }
        event.seekMs = *to / nsPerMs;
    } else if (event.kind == Kind::drop || event.kind == Kind::rejoin ||
               event.kind == Kind::leave) {
        const std::optional<int> index = speakerIndex(arg);
        if (!index) {
            return "this event names a speaker, for instance drop:spk3: " + event.text;
        }
        event.speaker = *index;
    } else if (!arg.empty()) {
        return "this event takes nothing after it: " + event.text;
    }
    return event;
}

Result<SimDelay, std::string> parseSimDelay(std::string_view text) {
    const size_t colon = text.find(':');
    const std::optional<int> index =
        colon == std::string_view::npos ? std::nullopt : speakerIndex(text.substr(0, colon));
    int delayMs = 0;
    const std::string_view value =
        colon == std::string_view::npos ? std::string_view() : text.substr(colon + 1);
    const auto [end, failed] = std::from_chars(value.data(), value.data() + value.size(), delayMs);
    if (!index || value.empty() || failed != std::errc() || end != value.data() + value.size() ||
        !SyncProtocol::delayRangeMs.contains(delayMs)) {
        return "a delay is spkN:MS, MS from " + std::to_string(SyncProtocol::delayRangeMs.min) +
               " to " + std::to_string(SyncProtocol::delayRangeMs.max) + ": " + std::string(text);
    }
    return SimDelay{*index, delayMs};
}

SimRunReport runSimParty(const SimRunOptions& options) {
    const auto wallStart = std::chrono::steady_clock::now();
    SimRunReport report;
    SimPartyConfig config = options.party;
    const int wanted = config.speakers;
    const int admitted = std::min(wanted, 7);
    config.speakers = admitted;
    SimParty party(config);
    std::vector<double> delayMs(static_cast<size_t>(admitted), 0.0);
    for (int i = 0; i < admitted; ++i) {
        party.speaker(i).session->setClockEstimate(options.clockEstimate);
    }
    for (const SimDelay& delay : options.delays) {
        if (delay.speaker < admitted) {
            party.speaker(delay.speaker).session->setDelayMs(delay.delayMs);
            delayMs[static_cast<size_t>(delay.speaker)] = delay.delayMs;
        }
    }
    const int64_t worldStart = party.nowNs();
    const auto say = [&](const std::string& line) {
        if (options.progress) {
            options.progress(line);
        }
    };

    say("importing the song");
    const std::optional<LibraryTrack> song =
        options.song ? party.importSong(*options.song) : party.addSong(options.songSeconds);
    if (!song || song->state != LibraryTrack::State::ready) {
        report.failure = "the song could not be prepared";
        return report;
    }
    const bool wantsNext =
        std::any_of(options.events.begin(), options.events.end(),
                    [](const SimEvent& e) { return e.kind == SimEvent::Kind::next; });
    if (wantsNext && !party.addSong(static_cast<double>(song->durationMs) / 1000.0, 1)) {
        report.failure = "the second song could not be prepared";
        return report;
    }
    say("joining");
    if (!party.joinAll()) {
        report.failure = "not every speaker joined";
        return report;
    }
    if (wanted > admitted) {
        const int extra = party.addSpeaker();
        party.join(extra);
        party.runUntil(
            [&] {
                return party.speaker(extra).session->phase()->is(
                    SpeakerSession::Phase::Kind::disconnected);
            },
            20 * nsPerSecond);
        report.refusedText = party.speaker(extra).session->phase()->text;
        party.speaker(extra).leaveSession();
    }

    // Bytes the host has delivered to every speaker, for the radio's use during the transfer.
    const auto hostBytes = [&] {
        uint64_t bytes = 0;
        for (int i = 0; i < admitted; ++i) {
            for (const auto& channel : party.speaker(i).device.radio->channels()) {
                bytes += channel->stats(SimLinkSide::b).bytesDelivered;
            }
        }
        return bytes;
    };
    const uint64_t bytesAtSelect = hostBytes();
    party.select(*song);
    const int64_t selected = *party.selectedAtWorldNs();
    std::vector<SimEvent> pending = options.events;
    std::stable_sort(pending.begin(), pending.end(),
                     [](const SimEvent& a, const SimEvent& b) { return a.atNs < b.atNs; });
    std::vector<int64_t> eventTimes;
    std::vector<std::optional<int64_t>> ready(static_cast<size_t>(admitted));
    std::vector<std::vector<std::pair<int64_t, int64_t>>> offsetErrors(
        static_cast<size_t>(admitted));
    std::optional<int64_t> hostSound;
    std::optional<int64_t> endedAt;
    const int64_t songNs = song->durationMs * nsPerMs;
    int64_t lastProgress = selected;
    const int64_t limit = selected + 600 * nsPerSecond + 3 * songNs;

    while (party.nowNs() < limit) {
        party.runFor(stepNs);
        const int64_t now = party.nowNs();
        const int64_t since = now - selected;
        for (int i = 0; i < admitted; ++i) {
            const auto& session = party.speaker(i).session;
            if (!ready[size_t(i)] && session &&
                (*session->state() == SpeakerState::ready ||
                 *session->state() == SpeakerState::playing)) {
                ready[size_t(i)] = now;
            }
        }
        if (!report.allReadyS &&
            std::all_of(ready.begin(), ready.end(), [](const auto& r) { return r.has_value(); })) {
            report.allReadyS = seconds(now - selected);
            const double capacity = static_cast<double>(config.radio.radioPdusPerInterval()) *
                                    static_cast<double>(config.radio.l2capPayloadPerPdu) /
                                    seconds(config.radio.connectionIntervalNs);
            report.radioUtilisation = static_cast<double>(hostBytes() - bytesAtSelect) /
                                      (capacity * seconds(now - selected));
        }
        if (!hostSound) {
            if (const auto heard = party.firstMediaHeard(party.host(), selected)) {
                hostSound = heard->heardWorldNs;
            }
        }
        // The player's clock estimate against the truth, once settled.
        if (hostSound && now - *hostSound >= std::llround(options.settleSeconds * 1e9) &&
            since % (2 * stepNs) < stepNs) {
            for (int i = 0; i < admitted; ++i) {
                if (party.speaker(i).session) {
                    if (const auto error = party.offsetErrorNs(i)) {
                        offsetErrors[size_t(i)].emplace_back(now, *error);
                    }
                }
            }
        }
        while (!pending.empty() && pending.front().atNs <= since) {
            const SimEvent event = pending.front();
            pending.erase(pending.begin());
            eventTimes.push_back(now);
            report.eventsDone.emplace_back(event.text, seconds(since));
            using Kind = SimEvent::Kind;
            const bool named = event.speaker < admitted && party.speaker(event.speaker).session;
            switch (event.kind) {
            case Kind::pause:
                party.session().pause();
                break;
            case Kind::play:
                if (*party.session().playback() == HostPlayback::paused) {
                    party.session().togglePlayPause();
                }
                break;
            case Kind::seek:
                party.session().seek(event.seekMs);
                break;
            case Kind::next:
                party.session().next();
                break;
            case Kind::drop:
                if (named) {
                    party.speaker(event.speaker).device.radio->loseLinkWith(*party.host().radio);
                }
                break;
            case Kind::rejoin:
                if (named && party.speaker(event.speaker)
                                 .session->phase()
                                 ->is(SpeakerSession::Phase::Kind::disconnected)) {
                    party.speaker(event.speaker).session->retry();
                } else if (named) {
                    party.join(event.speaker);
                }
                break;
            case Kind::leave:
                if (named) {
                    party.speaker(event.speaker).session->leave();
                }
                break;
            case Kind::end:
                party.session().endParty();
                endedAt = now;
                break;
            }
        }
        if (now - lastProgress >= nsPerSecond) {
            lastProgress = now;
            std::string line = "t=" + simFormat("%.0f", seconds(since)) + " s";
            if (!report.allReadyS) {
                int count = 0;
                for (const auto& r : ready) {
                    count += r ? 1 : 0;
                }
                line += ", " + std::to_string(count) + "/" + std::to_string(admitted) + " ready";
            } else if (hostSound) {
                line += ", playing " + simFormat("%.0f", seconds(now - *hostSound)) + " s of " +
                        simFormat("%.0f", seconds(songNs));
            }
            say(line);
        }
        const bool idle = *party.session().playback() == HostPlayback::idle;
        if (pending.empty() && ((endedAt && now - *endedAt > 2 * nsPerSecond) ||
                                (hostSound && idle && now - *hostSound > songNs / 2))) {
            break;
        }
    }
    party.runFor(SimParty::drainNs);

    // What the sound cards heard: judged from the host's first sound plus the settling time,
    // leaving out the settling time after every event. A card that plays early (its user's
    // delay) has played that much of what the host hears only after the event: that too.
    report.firstSoundS = hostSound ? std::optional(seconds(*hostSound - selected)) : std::nullopt;
    const int64_t settleNs = std::llround(options.settleSeconds * 1e9);
    const auto judged = [&](int64_t at, double earlyMs) {
        const int64_t earlyNs = std::llround(std::max(0.0, earlyMs) * 1e6);
        return hostSound && at >= *hostSound + settleNs &&
               std::none_of(eventTimes.begin(), eventTimes.end(),
                            [&](int64_t e) { return at >= e - earlyNs && at < e + settleNs; });
    };
    for (int i = 0; i < admitted; ++i) {
        SimPartySpeaker& speaker = party.speaker(i);
        SimRunReport::Speaker row;
        row.name = speaker.device.name();
        std::vector<double> errors;
        std::optional<int64_t> firstHeard;
        std::optional<int64_t> lastOff;
        int64_t bin = -1;
        double worstInBin = 0.0;
        for (auto sample : party.alignment(i, hostSound.value_or(selected))) {
            // The card plays its delay early, for the sound system behind it.
            sample.errorMs += delayMs[static_cast<size_t>(i)];
            firstHeard = firstHeard.value_or(sample.worldNs);
            if (judged(sample.worldNs, delayMs[static_cast<size_t>(i)])) {
                errors.push_back(sample.errorMs);
            }
            if (std::abs(sample.errorMs) > SimRunReport::alignedMs) {
                lastOff = sample.worldNs;
            }
            const auto sampleBin =
                static_cast<int64_t>(seconds(sample.worldNs - *hostSound) / SimRunReport::binS);
            if (sampleBin != bin && bin >= 0) {
                row.series.emplace_back(static_cast<double>(bin) * SimRunReport::binS, worstInBin);
                worstInBin = 0.0;
            }
            bin = sampleBin;
            worstInBin = std::max(worstInBin, std::abs(sample.errorMs));
        }
        if (bin >= 0) {
            row.series.emplace_back(static_cast<double>(bin) * SimRunReport::binS, worstInBin);
        }
        row.buffers = errors.size();
        row.p50Ms = SimParty::percentileAbs(errors, 50);
        row.p99Ms = SimParty::percentileAbs(errors, 99);
        row.maxMs = SimParty::percentileAbs(errors, 100);
        row.convergeS =
            firstHeard && lastOff && eventTimes.empty() ? seconds(*lastOff - *firstHeard) : 0.0;
        row.resyncs = resyncsOf(speaker);
        row.readyS =
            ready[size_t(i)] ? std::optional(seconds(*ready[size_t(i)] - selected)) : std::nullopt;
        if (const auto heard = party.firstMediaHeard(speaker.device, selected)) {
            row.firstSoundS = seconds(heard->heardWorldNs - selected);
        }
        std::vector<double> offsets;
        for (const auto& [at, error] : offsetErrors[size_t(i)]) {
            if (judged(at, 0.0)) {
                offsets.push_back(static_cast<double>(error) / 1e6);
            }
        }
        row.offsetErrP99Ms = SimParty::percentileAbs(offsets, 99);
        row.offsetErrMaxMs = SimParty::percentileAbs(offsets, 100);
        report.speakers.push_back(std::move(row));
    }
    for (const SimHeardBuffer& start : party.mediaStarts(party.host(), selected)) {
        report.hostStarts.emplace_back(seconds(start.heardWorldNs - selected),
                                       static_cast<double>(*start.mediaFrame) /
                                           SimParty::mediaRate * 1000.0);
    }
    report.worldSeconds = seconds(party.nowNs() - worldStart);
    report.wallSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    report.ok = hostSound.has_value();
    if (!report.ok) {
        report.failure = "the host never played";
    }
    return report;
}

} // namespace merriphonic
