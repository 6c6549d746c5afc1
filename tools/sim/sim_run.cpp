#include "tools/sim/sim_run.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <system_error>

#include "core/sync_protocol.h"
#include "platform/sim/sim_link.h"

namespace merriphonic {

namespace {

constexpr int64_t msNs = SimParty::msNs;
constexpr int64_t secNs = SimParty::secNs;
constexpr int64_t stepNs = 100 * msNs;
constexpr double alignedMs = 1.0; // converged: within this of the host
constexpr double binS = 0.5;      // the plot's resolution

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

std::string fmt(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
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

std::optional<SimEvent> parseSimEvent(std::string_view text, std::string& error) {
    SimEvent event;
    event.text = std::string(text);
    const size_t colon = text.find(':');
    const std::optional<int64_t> at =
        colon == std::string_view::npos ? std::nullopt : parseSimDuration(text.substr(0, colon));
    if (!at) {
        error = "an event is TIME:ACTION, for instance 60s:pause: " + event.text;
        return std::nullopt;
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
        error = "unknown event action (pause, play, seek:T, next, drop:spkN, rejoin:spkN, "
                "leave:spkN, end): " +
                event.text;
        return std::nullopt;
    }
    event.kind = found->kind;
    if (event.kind == Kind::seek) {
        const std::optional<int64_t> to = parseSimDuration(arg);
        if (!to) {
            error = "seek takes a position, for instance seek:90s: " + event.text;
            return std::nullopt;
        }
        event.seekMs = *to / msNs;
    } else if (event.kind == Kind::drop || event.kind == Kind::rejoin ||
               event.kind == Kind::leave) {
        const std::optional<int> index = speakerIndex(arg);
        if (!index) {
            error = "this event names a speaker, for instance drop:spk3: " + event.text;
            return std::nullopt;
        }
        event.speaker = *index;
    } else if (!arg.empty()) {
        error = "this event takes nothing after it: " + event.text;
        return std::nullopt;
    }
    return event;
}

double SimRunReport::worst(double Speaker::*field) const {
    double result = 0.0;
    for (const Speaker& speaker : speakers) {
        result = std::max(result, speaker.*field);
    }
    return result;
}

std::optional<SimDelay> parseSimDelay(std::string_view text, std::string& error) {
    const size_t colon = text.find(':');
    const std::optional<int> index =
        colon == std::string_view::npos ? std::nullopt : speakerIndex(text.substr(0, colon));
    int delayMs = 0;
    const std::string_view value =
        colon == std::string_view::npos ? std::string_view() : text.substr(colon + 1);
    const auto [end, failed] = std::from_chars(value.data(), value.data() + value.size(), delayMs);
    if (!index || value.empty() || failed != std::errc() || end != value.data() + value.size() ||
        !SyncProtocol::delayRangeMs.contains(delayMs)) {
        error = "a delay is spkN:MS, MS from " + std::to_string(SyncProtocol::delayRangeMs.min) +
                " to " + std::to_string(SyncProtocol::delayRangeMs.max) + ": " + std::string(text);
        return std::nullopt;
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
            20 * secNs);
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
    const int64_t songNs = song->durationMs * msNs;
    int64_t lastProgress = selected;
    const int64_t limit = selected + 600 * secNs + 3 * songNs;

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
        if (now - lastProgress >= secNs) {
            lastProgress = now;
            std::string line = "t=" + fmt("%.0f", seconds(since)) + " s";
            if (!report.allReadyS) {
                int count = 0;
                for (const auto& r : ready) {
                    count += r ? 1 : 0;
                }
                line += ", " + std::to_string(count) + "/" + std::to_string(admitted) + " ready";
            } else if (hostSound) {
                line += ", playing " + fmt("%.0f", seconds(now - *hostSound)) + " s of " +
                        fmt("%.0f", seconds(songNs));
            }
            say(line);
        }
        const bool idle = *party.session().playback() == HostPlayback::idle;
        if (pending.empty() && ((endedAt && now - *endedAt > 2 * secNs) ||
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
            if (std::abs(sample.errorMs) > alignedMs) {
                lastOff = sample.worldNs;
            }
            const auto sampleBin =
                static_cast<int64_t>(seconds(sample.worldNs - *hostSound) / binS);
            if (sampleBin != bin && bin >= 0) {
                row.series.emplace_back(static_cast<double>(bin) * binS, worstInBin);
                worstInBin = 0.0;
            }
            bin = sampleBin;
            worstInBin = std::max(worstInBin, std::abs(sample.errorMs));
        }
        if (bin >= 0) {
            row.series.emplace_back(static_cast<double>(bin) * binS, worstInBin);
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

std::string simReportText(const SimRunReport& report) {
    std::string out =
        "speaker  p50 ms  p99 ms  max ms  converge s  re-syncs  ready s  sound s  offset p99 ms\n";
    const auto opt = [](const std::optional<double>& v) {
        return v ? fmt("%7.2f", *v) : std::string("      -");
    };
    for (const auto& s : report.speakers) {
        char line[256];
        std::snprintf(line, sizeof line, "%-7s %7.3f %7.3f %7.3f %11.1f %9d  %s  %s  %13.3f\n",
                      s.name.c_str(), s.p50Ms, s.p99Ms, s.maxMs, s.convergeS, s.resyncs,
                      opt(s.readyS).c_str(), opt(s.firstSoundS).c_str(), s.offsetErrP99Ms);
        out += line;
    }
    using S = SimRunReport::Speaker;
    char line[512];
    std::snprintf(line, sizeof line,
                  "worst   %7.3f %7.3f %7.3f %11.1f\n"
                  "select to all ready: %s s; to first sound: %s s; radio use during the "
                  "transfer: %.0f%%; clock estimate error p99 %.3f ms; %.0f s in %.1f s (%.0f× "
                  "real time)\n",
                  report.worst(&S::p50Ms), report.worst(&S::p99Ms), report.worst(&S::maxMs),
                  report.worst(&S::convergeS), opt(report.allReadyS).c_str(),
                  opt(report.firstSoundS).c_str(), report.radioUtilisation * 100,
                  report.worst(&S::offsetErrP99Ms), report.worldSeconds, report.wallSeconds,
                  report.speedX());
    out += line;
    if (!report.refusedText.empty()) {
        out += "an eighth speaker was turned away: " + report.refusedText + "\n";
    }
    for (const auto& [text, at] : report.eventsDone) {
        out += "event " + text + " at " + fmt("%.1f", at) + " s\n";
    }
    return out;
}

std::string simReportJson(const SimRunReport& report) {
    const auto num = [](double v) { return fmt("%.6g", std::isfinite(v) ? v : 0.0); };
    const auto opt = [&](const std::optional<double>& v) { return v ? num(*v) : "null"; };
    const auto quoted = [](const std::string& text) {
        std::string out = "\"";
        for (const char c : text) {
            if (c == '"' || c == '\\') {
                out += '\\';
            }
            if (static_cast<unsigned char>(c) >= 0x20) {
                out += c;
            }
        }
        return out + "\"";
    };
    std::string out = "{\"speakers\":[";
    for (size_t i = 0; i < report.speakers.size(); ++i) {
        const auto& s = report.speakers[i];
        out += (i == 0 ? "{" : ",{");
        out += "\"name\":" + quoted(s.name) + ",\"buffers\":" + std::to_string(s.buffers) +
               ",\"p50Ms\":" + num(s.p50Ms) + ",\"p99Ms\":" + num(s.p99Ms) +
               ",\"maxMs\":" + num(s.maxMs) + ",\"convergeS\":" + num(s.convergeS) +
               ",\"resyncs\":" + std::to_string(s.resyncs) + ",\"readyS\":" + opt(s.readyS) +
               ",\"firstSoundS\":" + opt(s.firstSoundS) +
               ",\"offsetErrP99Ms\":" + num(s.offsetErrP99Ms) +
               ",\"offsetErrMaxMs\":" + num(s.offsetErrMaxMs) + "}";
    }
    using S = SimRunReport::Speaker;
    out += "],\"allReadyS\":" + opt(report.allReadyS) +
           ",\"firstSoundS\":" + opt(report.firstSoundS) +
           ",\"radioUtilisation\":" + num(report.radioUtilisation) +
           ",\"refused\":" + quoted(report.refusedText) + ",\"events\":[";
    for (size_t i = 0; i < report.eventsDone.size(); ++i) {
        out += (i == 0 ? "" : ",") + std::string("{\"event\":") +
               quoted(report.eventsDone[i].first) + ",\"atS\":" + num(report.eventsDone[i].second) +
               "}";
    }
    out += R"(],"bench":{"sim.align_p50_ms":)" + num(report.worst(&S::p50Ms)) +
           ",\"sim.align_p99_ms\":" + num(report.worst(&S::p99Ms)) +
           ",\"sim.align_max_ms\":" + num(report.worst(&S::maxMs)) +
           ",\"sim.converge_s\":" + num(report.worst(&S::convergeS)) +
           ",\"sim.select_to_sound_s\":" + opt(report.firstSoundS) +
           ",\"sim.radio_utilisation\":" + num(report.radioUtilisation) +
           ",\"sim.offset_err_p99_ms\":" + num(report.worst(&S::offsetErrP99Ms)) +
           ",\"sim.speed_x\":" + num(report.speedX()) + "}}\n";
    return out;
}

std::string simReportSvg(const SimRunReport& report) {
    constexpr double width = 960;
    constexpr double height = 420;
    constexpr double left = 60;
    constexpr double right = 20;
    constexpr double top = 20;
    constexpr double bottom = 40;
    double endS = 1.0;
    double topMs = alignedMs;
    for (const auto& s : report.speakers) {
        for (const auto& [t, e] : s.series) {
            endS = std::max(endS, t + binS);
            topMs = std::max(topMs, e);
        }
    }
    topMs = std::min(topMs * 1.1, 50.0);
    const auto x = [&](double s) { return left + s / endS * (width - left - right); };
    const auto y = [&](double ms) {
        return top + (1.0 - std::min(ms, topMs) / topMs) * (height - top - bottom);
    };
    std::string out = R"(<svg xmlns="http://www.w3.org/2000/svg" width=")" + fmt("%.0f", width) +
                      "\" height=\"" + fmt("%.0f", height) +
                      "\" font-family=\"sans-serif\" font-size=\"12\">\n"
                      "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    // The 1 ms line, the axes and their labels.
    out += "<line x1=\"" + fmt("%.1f", left) + "\" x2=\"" + fmt("%.1f", width - right) +
           "\" y1=\"" + fmt("%.1f", y(alignedMs)) + "\" y2=\"" + fmt("%.1f", y(alignedMs)) +
           "\" stroke=\"#c00\" stroke-dasharray=\"4 4\"/>\n";
    out += "<line x1=\"" + fmt("%.1f", left) + "\" x2=\"" + fmt("%.1f", left) + "\" y1=\"" +
           fmt("%.1f", top) + "\" y2=\"" + fmt("%.1f", height - bottom) + "\" stroke=\"black\"/>\n";
    out += "<line x1=\"" + fmt("%.1f", left) + "\" x2=\"" + fmt("%.1f", width - right) +
           "\" y1=\"" + fmt("%.1f", height - bottom) + "\" y2=\"" + fmt("%.1f", height - bottom) +
           "\" stroke=\"black\"/>\n";
    out += R"(<text x="4" y=")" + fmt("%.1f", top + 10) + "\">" + fmt("%.2f", topMs) +
           " ms</text>\n<text x=\"4\" y=\"" + fmt("%.1f", y(alignedMs) + 4) +
           "\">1 ms</text>\n<text x=\"" + fmt("%.1f", width - right - 200) + "\" y=\"" +
           fmt("%.1f", height - 10) + "\">s after the host's first sound (" + fmt("%.0f", endS) +
           " s)</text>\n";
    constexpr const char* colours[] = {"#1f77b4", "#ff7f0e", "#2ca02c", "#d62728",
                                       "#9467bd", "#8c564b", "#e377c2"};
    for (size_t i = 0; i < report.speakers.size(); ++i) {
        const auto& s = report.speakers[i];
        const char* colour = colours[i % std::size(colours)];
        out += R"(<polyline fill="none" stroke-width="1.2" stroke=")" + std::string(colour) +
               "\" points=\"";
        for (const auto& [t, e] : s.series) {
            out += fmt("%.1f", x(t)) + "," + fmt("%.1f", y(e)) + " ";
        }
        out += "\"/>\n<text x=\"" + fmt("%.1f", left + 10 + 70 * static_cast<double>(i)) +
               R"(" y="14" fill=")" + colour + "\">" + s.name + "</text>\n";
    }
    return out + "</svg>\n";
}

} // namespace merriphonic
