#include "app/screen_text.h"

#include <cmath>
#include <cstdio>

namespace merriphonic {

int ScreenText::roundedDelayMs(double sliderMs) {
    return static_cast<int>(std::lround(sliderMs / 10.0)) * 10;
}

int ScreenText::signalBars(int rssi) {
    if (rssi >= -60) {
        return 4;
    }
    if (rssi >= -70) {
        return 3;
    }
    if (rssi >= -80) {
        return 2;
    }
    if (rssi >= -90) {
        return 1;
    }
    return 0;
}

std::string ScreenText::signalLabel(int rssi) {
    return "Signal " + std::to_string(signalBars(rssi)) + " of 4";
}

std::string ScreenText::time(int64_t ms) {
    const int64_t seconds = ms > 0 ? ms / 1000 : 0;
    char text[32];
    std::snprintf(text, sizeof text, "%d:%02d", static_cast<int>(seconds / 60),
                  static_cast<int>(seconds % 60));
    return text;
}

std::string ScreenText::syncBadge(double syncMs) {
    char text[48];
    if (syncMs < 10.0) {
        std::snprintf(text, sizeof text, "Sync ±%.1fms", syncMs);
    } else {
        std::snprintf(text, sizeof text, "Sync ±%ldms", std::lround(syncMs));
    }
    return text;
}

std::string ScreenText::delayText(const std::optional<int64_t>& delayMs) {
    if (!delayMs || *delayMs == 0) {
        return {};
    }
    return "delay " + std::string(*delayMs > 0 ? "+" : "") + std::to_string(*delayMs) + " ms";
}

std::string ScreenText::roundTripText(const std::optional<double>& rttMs) {
    if (!rttMs || !(*rttMs > 0.0)) {
        return {};
    }
    // A link on one computer answers in a fraction of a millisecond: "0 ms" would read as none.
    char text[32];
    if (*rttMs < 10.0) {
        std::snprintf(text, sizeof text, "%.1f ms", *rttMs);
    } else {
        std::snprintf(text, sizeof text, "%ld ms", std::lround(*rttMs));
    }
    return text;
}

std::optional<std::string> ScreenText::bluetoothBanner(RadioState state) {
    switch (state) {
    case RadioState::unsupported:
        return "This device doesn't support Bluetooth LE.";
    case RadioState::unauthorized:
        return "Merriphonic isn't allowed to use Bluetooth. Allow it in Settings.";
    case RadioState::poweredOff:
        return "Bluetooth is off. Turn it on in Settings or from the desktop panel.";
    default:
        return std::nullopt;
    }
}

std::string ScreenText::hostHeader(const HostPeripheral::Phase& phase, RadioState state) {
    using Kind = HostPeripheral::Phase::Kind;
    switch (phase.kind) {
    case Kind::idle:
    case Kind::starting:
        if (state == RadioState::unsupported || state == RadioState::unauthorized ||
            state == RadioState::poweredOff) {
            return "Bluetooth unavailable";
        }
        return "Starting Bluetooth…";
    case Kind::advertising:
        return "Advertising…";
    case Kind::failed:
        return "Not visible";
    }
    return {};
}

bool ScreenText::hostHeaderActive(const HostPeripheral::Phase& phase) {
    return phase.is(HostPeripheral::Phase::Kind::advertising);
}

std::string_view ScreenText::platformIcon(std::string_view platform) {
    if (platform == "ios") {
        return "phone";
    }
    if (platform == "macos" || platform == "linux") {
        return "laptop";
    }
    if (platform == "android") {
        return "candybar";
    }
    return "speaker";
}

std::string_view ScreenText::chipColor(ChipKind kind) {
    switch (kind) {
    case ChipKind::connecting:
        return "#9e9e9e";
    case ChipKind::syncing:
        return "#ffb300";
    case ChipKind::loading:
        return "#42a5f5";
    case ChipKind::ready:
        return "#26a69a";
    case ChipKind::playing:
        return "#66bb6a";
    case ChipKind::paused:
        return "#ab47bc";
    case ChipKind::idle:
        return "#78909c";
    }
    return "#9e9e9e";
}

bool ScreenText::isSelectable(const LibraryTrack& entry) {
    return entry.state == LibraryTrack::State::ready && entry.wireFile && entry.trackKey &&
           entry.size;
}

std::string ScreenText::speakerStatus(SpeakerState state, int loadingPercent) {
    switch (state) {
    case SpeakerState::syncing:
        return "Syncing clock…";
    case SpeakerState::idle:
        return "Waiting for host";
    case SpeakerState::loading:
        return "Receiving song " + std::to_string(loadingPercent) + "%";
    case SpeakerState::ready:
        return "Ready";
    case SpeakerState::playing:
        return "Playing";
    case SpeakerState::paused:
        return "Paused";
    }
    return {};
}

std::string ScreenText::connectingSubtitle(SpeakerSession::Phase::Kind kind) {
    return kind == SpeakerSession::Phase::Kind::syncing ? "Syncing clock…"
                                                        : "Opening a Bluetooth channel";
}

std::string ScreenText::artistOrUnknown(std::string_view artist) {
    return artist.empty() ? "Unknown artist" : std::string(artist);
}

} // namespace merriphonic
