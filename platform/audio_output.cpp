#include "platform/audio_output.h"

namespace merriphonic {

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
