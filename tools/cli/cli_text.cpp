#include "tools/cli/cli_text.h"

#include <cmath>

#include <fmt/format.h>

#include "app/screen_text.h"

namespace merriphonic {

namespace {

constexpr size_t nameWidth = 24;
constexpr size_t statusWidth = 20;
constexpr size_t roundTripWidth = 11;

// UTF-8 characters in the text (continuation bytes do not start one).
size_t characters(const std::string& text) {
    size_t count = 0;
    for (const char c : text) {
        count += (static_cast<unsigned char>(c) & 0xC0U) != 0x80U ? 1 : 0;
    }
    return count;
}

std::string playbackWord(HostPlayback playback) {
    switch (playback) {
    case HostPlayback::idle:
        return "stopped";
    case HostPlayback::waiting:
        return "waiting for speakers";
    case HostPlayback::playing:
        return "playing";
    case HostPlayback::paused:
        return "paused";
    }
    return {};
}

} // namespace

std::string CliText::column(const std::string& text, size_t width) {
    if (characters(text) <= width) {
        return text + std::string(width - characters(text), ' ');
    }
    std::string cut;
    size_t count = 0;
    for (const char c : text) {
        const bool starts = (static_cast<unsigned char>(c) & 0xC0U) != 0x80U;
        if (starts && ++count > width - 1) {
            break;
        }
        cut += c;
    }
    return cut + "…";
}

std::vector<std::string> CliText::hostTable(const HostView& view) {
    std::vector<std::string> lines;
    lines.push_back(view.partyName + " · " + view.header);
    lines.push_back("  " + column("NAME", nameWidth) + " " + column("STATUS", statusWidth) + " " +
                    column("ROUND TRIP", roundTripWidth) + " DELAY");
    for (const SpeakerRow& row : view.rows) {
        const std::string name = row.isLocal ? row.name + " (host)" : row.name;
        std::string line = "  " + column(name, nameWidth) + " " + column(row.chip, statusWidth) +
                           " " + column(ScreenText::roundTripText(row.rttMs), roundTripWidth) +
                           " " + ScreenText::delayText(row.delayMs);
        line.erase(line.find_last_not_of(' ') + 1);
        lines.push_back(std::move(line));
    }
    if (view.title) {
        lines.push_back(
            fmt::format("Song: {} — {}  {} / {}  {}", *view.title,
                        ScreenText::artistOrUnknown(view.artist), ScreenText::time(view.positionMs),
                        ScreenText::time(view.durationMs), playbackWord(view.playback)));
    }
    if (view.sendProgress) {
        lines.push_back(fmt::format("Sending to speakers… {}%",
                                    static_cast<int>(std::floor(*view.sendProgress * 100.0))));
    }
    std::string library = fmt::format("Library: {} song{}", view.songs, view.songs == 1 ? "" : "s");
    if (view.preparing > 0) {
        library += fmt::format(" ({} being prepared)", view.preparing);
    }
    lines.push_back(library);
    return lines;
}

std::string CliText::phase(const SpeakerSession::Phase& phase) {
    using Kind = SpeakerSession::Phase::Kind;
    switch (phase.kind) {
    case Kind::idle:
        return "Not in a party";
    case Kind::scanning:
        return "Looking for parties…";
    case Kind::connecting:
        return "Connecting…";
    case Kind::syncing:
        return "Syncing clock…";
    case Kind::connected:
        return "Connected";
    case Kind::disconnected:
    case Kind::failed:
        return phase.text;
    }
    return {};
}

std::string CliText::speakerLine(const SpeakerView& view) {
    std::string line =
        view.partyName.empty() ? phase(view.phase) : view.partyName + " · " + phase(view.phase);
    if (!view.phase.is(SpeakerSession::Phase::Kind::connected)) {
        return line;
    }
    line += " · " + ScreenText::speakerStatus(view.state, view.loadingPercent);
    if (view.syncMs) {
        line += " · " + ScreenText::syncBadge(*view.syncMs);
    }
    if (!view.title.empty()) {
        line +=
            fmt::format(" · {} — {}  {} / {}", view.title, ScreenText::artistOrUnknown(view.artist),
                        ScreenText::time(view.positionMs), ScreenText::time(view.durationMs));
    }
    return line;
}

std::string CliText::partyLine(const DiscoveredHost& party) {
    return fmt::format("{}  {} dBm  {}", column(party.name, 32), party.rssi,
                       ScreenText::signalLabel(party.rssi));
}

} // namespace merriphonic
