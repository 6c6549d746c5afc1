#include "tests/vm/bt_check/track_receiver.h"

#include <fmt/format.h>

#include <algorithm>
#include <utility>

#include "core/hex.h"

namespace merriphonic {

void TrackReceiver::fault(std::string text) {
    if (fault_.empty()) {
        fault_ = std::move(text);
    }
}

void TrackReceiver::add(const TrackChunk& chunk, int64_t receiveNs) {
    if (bytes_ == 0 && firstNs_ == 0) {
        firstNs_ = receiveNs;
    }
    if (!key_) {
        key_ = chunk.key;
    } else if (chunk.key != *key_) {
        fault(fmt::format("chunk at {} belongs to track {}, not {}", chunk.offset, chunk.key.hex(),
                          key_->hex()));
    }
    if (static_cast<int64_t>(chunk.offset) != bytes_) {
        outOfOrder_ = true;
        fault(fmt::format("chunk at offset {} arrived after {} bytes", chunk.offset, bytes_));
    }
    const auto size = static_cast<int64_t>(chunk.data.size());
    if (auto [range, added] = ranges_.try_emplace(chunk.offset, size); !added) {
        repeated_ += std::min(range->second, size);
        range->second = std::max(range->second, size);
    }
    hash_.update(chunk.data);
    bytes_ += static_cast<int64_t>(chunk.data.size());
}

Status TrackReceiver::finish(const TrackDone& done, int64_t receiveNs) {
    const Sha256::Digest digest = hash_.finish();
    TrackKey received;
    std::copy_n(digest.begin(), TrackKey::size, received.bytes.begin());
    if (key_ && done.key != *key_) {
        fault(fmt::format("TRACK_DONE names track {}, the chunks {}", done.key.hex(), key_->hex()));
    }
    if (done.key != received) {
        fault(fmt::format("TRACK_DONE key {} does not match the data received ({})", done.key.hex(),
                          received.hex()));
    }
    Status report;
    report.state = fault_.empty() ? goodState : fault_;
    if (outOfOrder_) {
        report.state += "; " + coverage();
    }
    report.trackKey = toHex(digest);
    report.bytes = bytes_;
    report.size = bytes_;
    report.delayMs = firstNs_ == 0 ? 0 : (receiveNs - firstNs_) / 1'000'000;
    *this = TrackReceiver();
    return report;
}

std::string TrackReceiver::coverage() const {
    int64_t end = 0;
    int64_t missing = 0;
    int64_t repeated = repeated_;
    for (const auto& [offset, length] : ranges_) {
        if (offset > end) {
            missing += offset - end;
        } else {
            repeated += std::min(end, offset + length) - offset;
        }
        end = std::max(end, offset + length);
    }
    if (missing > 0) {
        return fmt::format("{} bytes never arrived", missing);
    }
    if (repeated > 0) {
        return fmt::format("{} bytes arrived twice", repeated);
    }
    return "none lost, only reordered";
}

std::optional<std::string> TrackReceiver::verify(const Status& report, const PatternTrack& sent) {
    if (report.state != goodState) {
        return "the receiver found a fault: " + report.state;
    }
    const auto size = static_cast<int64_t>(sent.data.size());
    if (report.bytes != size) {
        return fmt::format("the receiver got {} bytes of {}", report.bytes, size);
    }
    if (report.trackKey != sent.digestHex()) {
        return fmt::format("SHA-256 mismatch: sent {}, received {}", sent.digestHex(),
                           report.trackKey.value_or("(none)"));
    }
    return std::nullopt;
}

} // namespace merriphonic
