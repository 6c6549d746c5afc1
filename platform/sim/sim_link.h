#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "platform/byte_stream.h"

namespace merriphonic {

class SimWorld;
class SimRunLoop;

enum class SimLinkSide { a, b };

// One unit of transmission: a segment of a byte stream, one message of a message link, or
// (with no bytes) the end-of-channel marker that follows a closed side's last bytes.
struct SimLinkUnit {
    SimLinkSide from = SimLinkSide::a;
    int64_t readyNs = 0; // world time at which the unit starts its transmission
    size_t bytes = 0;

    bool operator==(const SimLinkUnit&) const = default;
};

// When a unit is done: sentNs frees its bytes from the sender's buffer, arrivalNs puts them in
// the receiver's. The link keeps sentNs >= readyNs and arrivalNs >= sentNs, and never lets a
// unit arrive before the one sent ahead of it.
struct SimLinkTiming {
    int64_t sentNs = 0;
    int64_t arrivalNs = 0;

    bool operator==(const SimLinkTiming&) const = default;
};

// Decides the timing of each unit; lets a radio model (connection intervals, retries) replace
// the plain latency/jitter/bandwidth model.
using SimLinkTimingModel = std::function<SimLinkTiming(const SimLinkUnit&)>;

// Sees each unit's bytes as they arrive, before the receiver can read them, and may change
// them (not their number): damage in transit that the radio's own checks let through.
using SimLinkTamper = std::function<void(SimLinkSide from, std::vector<uint8_t>& bytes)>;

struct SimLinkConfig {
    int64_t latencyNs = 0;
    // Each unit arrives up to this much later, uniformly drawn from the world's RNG.
    int64_t jitterNs = 0;
    // Serialisation rate of each direction; 0 for none.
    int64_t bytesPerSecond = 0;
    // Bytes a writer may have accepted but not yet transmitted, per direction.
    size_t sendBufferBytes = 64 * 1024;
    // Bytes in flight plus received but unread, per direction (credit-based flow control: a
    // reader that does not read stalls its writer); 0 for no limit.
    size_t receiveBufferBytes = 64 * 1024;
    // 0 for a byte stream. Otherwise a message link: a write sends at most this many bytes as
    // one message, and a read returns bytes of one message only.
    size_t maxMessageSize = 0;
    // The transmission unit of a byte stream.
    size_t segmentBytes = 4096;
    // Replaces latency, jitter and bandwidth when set.
    SimLinkTimingModel timing = {};
};

// Counters of one direction.
struct SimLinkStats {
    uint64_t bytesWritten = 0;      // accepted by the sender's writes
    uint64_t bytesDelivered = 0;    // arrived in the receiver's buffer
    uint64_t bytesRead = 0;         // taken by the receiver's reads
    uint64_t messagesDelivered = 0; // units (segments or messages) delivered
    uint64_t bytesDropped = 0;      // discarded by a close or a failure
    uint64_t fullWrites = 0;        // writes that found no room and returned 0

    bool operator==(const SimLinkStats&) const = default;
};

// A connected pair of byte streams between two simulated devices, each side's events delivered
// on that side's stream loop. Events follow the rules the connection relies on: after open()
// a stream reports openCompleted, then bytesAvailable when data waits (or end once the peer's
// last bytes are read) and spaceAvailable when a write would be accepted. Having reported
// bytesAvailable or spaceAvailable, a stream reports it again only after a read or write, and
// only if the condition holds when the event is handled, so no wake-up is ever lost and none
// is spurious. error and end are reported once. close() on a stream ends its events.
//
// Closing both streams of a side closes that side: the bytes it had accepted are still
// delivered, then the peer reads the end of the stream and its output reports end. Bytes
// arriving at a closed or failed side are dropped.
//
// The streams keep the link's state alive (StreamPair::owner), so the SimLink object itself
// may go away first. The world and both loops must outlive all of it.
class SimLink {
public:
    SimLink(SimWorld& world, SimRunLoop& loopA, SimRunLoop& loopB, SimLinkConfig config = {},
            std::string name = "link");
    ~SimLink();
    SimLink(const SimLink&) = delete;
    SimLink& operator=(const SimLink&) = delete;

    // The streams of one side; the same pair on every call.
    [[nodiscard]] StreamPair side(SimLinkSide side) const;
    [[nodiscard]] StreamPair sideA() const { return side(SimLinkSide::a); }
    [[nodiscard]] StreamPair sideB() const { return side(SimLinkSide::b); }

    // The channel closes at one side without its streams being closed (say, the remote
    // system tore it down): that side's streams report end at once (bytes already received
    // stay readable), its unsent bytes are dropped, and the peer reads the end of the stream
    // after the bytes already on their way.
    void close(SimLinkSide side);
    // A local failure of one side: its streams report error with this description and
    // reads and writes fail; its unsent and unread bytes are dropped. The peer is unaffected
    // except that what it sends is lost.
    void fail(SimLinkSide side, const std::string& description);
    void failBoth(const std::string& description);
    // While stalled nothing is transmitted or delivered (buffers fill up); when released,
    // whatever has arrived meanwhile is delivered at once.
    void stall(bool stalled);
    [[nodiscard]] bool isStalled() const;
    // Units arriving from now on pass through the tamper; an empty one ends the damage.
    void setTamper(SimLinkTamper tamper);

    [[nodiscard]] SimLinkStats stats(SimLinkSide from) const;
    [[nodiscard]] const SimLinkConfig& config() const;
    [[nodiscard]] const std::string& name() const;

    // The plain model: serialisation at bytesPerSecond, then latency plus a jitter drawn from
    // rng. Custom models may start from it.
    static SimLinkTiming basicTiming(const SimLinkConfig& config, std::mt19937_64& rng,
                                     const SimLinkUnit& unit);

    class Core;

private:
    std::shared_ptr<Core> core_;
};

} // namespace merriphonic
