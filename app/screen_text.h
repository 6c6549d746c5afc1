#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/speaker_state.h"
#include "host/library_track.h"
#include "host/speaker_link.h"
#include "platform/radio.h"
#include "speaker/speaker_session.h"
#include "transport/host_peripheral.h"

namespace merriphonic {

// The rules by which the screens turn published state into words, numbers and colours. Kept
// out of QML so that they are tested as plain functions.
struct ScreenText {
    // The delay slider's value, rounded to the nearest multiple of 10 ms (halves away from 0).
    static int roundedDelayMs(double sliderMs);
    // Lit bars of four for a signal strength in dBm.
    static int signalBars(int rssi);
    // "Signal n of 4".
    static std::string signalLabel(int rssi);
    // Minutes and seconds, "%d:%02d"; negative times read as 0:00.
    static std::string time(int64_t ms);
    // "Sync ±2.4ms": one decimal below 10 ms, whole milliseconds from there.
    static std::string syncBadge(double syncMs);
    // The badge turns to its warning colour from this value on.
    static constexpr double syncWarnMs = 15.0;
    static bool syncBadgeWarns(double syncMs) { return syncMs >= syncWarnMs; }
    // A speaker row's delay: "delay +20 ms", "delay -30 ms", nothing for 0 or unknown.
    static std::string delayText(const std::optional<int64_t>& delayMs);
    // The round-trip text of a row when known and above 0: "12 ms", "0.4 ms" below 10 ms.
    static std::string roundTripText(const std::optional<double>& rttMs);
    // The warning banner for a Bluetooth state; nothing when the radio is usable or unknown.
    static std::optional<std::string> bluetoothBanner(RadioState state);
    // The status line under the party name on the host screen.
    static std::string hostHeader(const HostPeripheral::Phase& phase, RadioState state);
    // Whether the header's dot pulses: only while the party is visible.
    static bool hostHeaderActive(const HostPeripheral::Phase& phase);
    // The icon name of a peer's platform: "phone", "laptop", "candybar" or "speaker".
    static std::string_view platformIcon(std::string_view platform);
    // A chip's colour (#rrggbb) by its kind.
    static std::string_view chipColor(ChipKind kind);
    // Whether tapping a library row selects it: ready, with a wire file, a key and a size.
    static bool isSelectable(const LibraryTrack& entry);
    // The speaker screen's status line for the reported state.
    static std::string speakerStatus(SpeakerState state, int loadingPercent);
    // The speaker screen's status card subtitle while connecting or syncing.
    static std::string connectingSubtitle(SpeakerSession::Phase::Kind kind);
    // The artist, or "Unknown artist" when empty.
    static std::string artistOrUnknown(std::string_view artist);
};

} // namespace merriphonic
