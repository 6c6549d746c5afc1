#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <string_view>

namespace merriphonic {

// A closed range of integers, both ends included.
struct IntRange {
    int min = 0;
    int max = 0;

    constexpr bool contains(int value) const { return value >= min && value <= max; }
    constexpr int clamp(int value) const { return std::clamp(value, min, max); }
    bool operator==(const IntRange&) const = default;
};

// Constants of the wire protocol and of the timing both roles share.
struct SyncProtocol {
    static constexpr int version = 1;
    static constexpr int maxSpeakers = 7;
    static constexpr uint32_t maxFrameLength = 1'048'576;
    static constexpr int headerSize = 5;
    static constexpr int chunkDataSize = 4096;
    static constexpr int initialPingBurst = 20;
    static constexpr int periodicPingBurst = 5;
    static constexpr int64_t pingSpacingNs = 50'000'000;
    static constexpr int64_t pingPeriodNs = 2'000'000'000;
    static constexpr int64_t clockWindowNs = 30'000'000'000;
    static constexpr int minSyncSamples = 5;
    static constexpr int64_t startLeadNs = 1'500'000'000;
    static constexpr int64_t resumeLeadNs = 800'000'000;
    static constexpr double hardResyncMs = 40.0;
    static constexpr double maxRateTrim = 0.003;
    static constexpr IntRange delayRangeMs{-200, 500};
    // The largest song that can travel: TRACK_CHUNK offsets are 32 bits.
    static constexpr int64_t maxTrackSize = 4'294'967'295;

    static constexpr std::string_view serviceUuid = "7D2EA4A0-5C3B-4F1E-9A51-3B6C2F0E1A00";
    static constexpr std::string_view psmCharacteristicUuid =
        "7D2EA4A1-5C3B-4F1E-9A51-3B6C2F0E1A00";
    static constexpr std::string_view infoCharacteristicUuid =
        "7D2EA4A2-5C3B-4F1E-9A51-3B6C2F0E1A00";

    // Lower-case file extensions, without the dot, that a speaker can play as they are.
    static constexpr std::array<std::string_view, 4> playableExtensions{"m4a", "mp3", "aac", "wav"};

    // Exact, case-sensitive membership test; callers lower-case the extension first.
    static constexpr bool isPlayableExtension(std::string_view ext) {
        return std::find(playableExtensions.begin(), playableExtensions.end(), ext) !=
               playableExtensions.end();
    }
};

} // namespace merriphonic
