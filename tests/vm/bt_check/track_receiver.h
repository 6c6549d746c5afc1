#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "core/message.h"
#include "core/sha256.h"
#include "tests/vm/bt_check/pattern_track.h"

namespace merriphonic {

// The receiving end of the transfer check: hashes TRACK_CHUNK data in arrival order, insists
// that every chunk continues exactly where the previous one ended, and answers TRACK_DONE with
// a digest report. When chunks came out of order it also tells whether any never came.
//
// The report travels as a STATUS (a message the connection delivers in either direction):
// `state` is "ready" when the chunks were contiguous and the TRACK_DONE key matches the data,
// else the first fault found; `trackKey` holds the full SHA-256 of the bytes received (64 hex
// digits); `bytes` and `size` the byte count; `delayMs` how long the chunks took to arrive.
class TrackReceiver {
public:
    static constexpr const char* goodState = "ready";

    void add(const TrackChunk& chunk, int64_t receiveNs);
    // The digest report; the receiver then expects a new track.
    Status finish(const TrackDone& done, int64_t receiveNs);

    [[nodiscard]] int64_t bytes() const { return bytes_; }

    // Compares a report with the track that was sent: nothing when the far end received
    // exactly that track, else what went wrong.
    static std::optional<std::string> verify(const Status& report, const PatternTrack& sent);

private:
    void fault(std::string text);
    // What the chunks' ranges show about the order fault: lost bytes, repeated bytes, or none.
    [[nodiscard]] std::string coverage() const;

    Sha256 hash_;
    int64_t bytes_ = 0;
    int64_t firstNs_ = 0;
    std::optional<TrackKey> key_;
    std::string fault_;
    bool outOfOrder_ = false;
    // Offset → length of every chunk received, and the bytes that came at an offset again.
    std::map<int64_t, int64_t> ranges_;
    int64_t repeated_ = 0;
};

} // namespace merriphonic
