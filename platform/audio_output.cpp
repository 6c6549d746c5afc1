#include "platform/audio_output.h"

#include <fmt/format.h>

namespace merriphonic {

Result<Done, std::string> checkAudioFormat(const AudioFormat& format) {
    constexpr int minSampleRate = 8000;
    constexpr int maxSampleRate = 768'000;
    constexpr int maxChannels = 32;
    if (format.sampleRate < minSampleRate || format.sampleRate > maxSampleRate ||
        format.channels < 1 || format.channels > maxChannels) {
        return fmt::format("unsupported format: {} Hz × {}", format.sampleRate, format.channels);
    }
    return Done{};
}

std::string_view audioChangeKindName(AudioChangeKind kind) {
    switch (kind) {
    case AudioChangeKind::format:
        return "format";
    case AudioChangeKind::device:
        return "device";
    case AudioChangeKind::latency:
        return "latency";
    case AudioChangeKind::error:
        return "error";
    case AudioChangeKind::recovered:
        return "recovered";
    }
    return "unknown";
}

} // namespace merriphonic
