#pragma once

// The state of a SimLink, shared by its files: the link's core, the ends of its streams and
// the helpers they share.

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/byte_stream.h"
#include "platform/sim/sim_byte_queue.h"
#include "platform/sim/sim_link.h"
#include "platform/sim/sim_run_loop.h"

namespace merriphonic {

class SimWorld;

namespace sim_link {

constexpr size_t indexOf(SimLinkSide side) {
    return side == SimLinkSide::a ? 0 : 1;
}
constexpr SimLinkSide sideAt(size_t index) {
    return index == 0 ? SimLinkSide::a : SimLinkSide::b;
}
constexpr size_t eventIndex(StreamEvent event) {
    return static_cast<size_t>(event);
}

} // namespace sim_link

enum class EndState { created, open, closed };

// What one stream (one end of one direction) knows about its events.
struct StreamEnd {
    EndState state = EndState::created;
    StreamEventHandler handler;
    // Set by a read or write: the next bytesAvailable/spaceAvailable may then be reported.
    bool armed = true;
    std::array<bool, 5> pending{};  // posted, not yet handled
    std::array<bool, 5> reported{}; // the one-shot events already handled
    std::string lastError;
};

class SimLinkInput;
class SimLinkOutput;

class SimLink::Core : public std::enable_shared_from_this<SimLink::Core> {
public:
    Core(SimWorld& world, SimRunLoop& loopA, SimRunLoop& loopB, SimLinkConfig config,
         std::string name);
    Core(const Core&) = delete;
    Core& operator=(const Core&) = delete;
    ~Core() = default;

    void createStreams();
    [[nodiscard]] StreamPair pair(size_t side);

    // Stream operations; `input` picks the stream of the side.
    void setHandler(size_t side, bool input, StreamEventHandler handler);
    void open(size_t side, bool input);
    void close(size_t side, bool input);
    [[nodiscard]] bool hasBytesAvailable(size_t side) const;
    [[nodiscard]] bool hasSpaceAvailable(size_t side) const;
    int64_t read(size_t side, uint8_t* buffer, size_t maxLength);
    int64_t write(size_t side, const uint8_t* buffer, size_t length);
    [[nodiscard]] std::string errorDescription(size_t side, bool input) const;

    // Faults.
    void closeChannel(size_t side);
    void fail(size_t side, const std::string& description);
    void stall(bool stalled);
    [[nodiscard]] bool isStalled() const { return stalled_; }
    void setTamper(SimLinkTamper tamper) { tamper_ = std::move(tamper); }

    [[nodiscard]] const SimLinkStats& stats(size_t from) const { return directions_[from].stats; }
    [[nodiscard]] const SimLinkConfig& config() const { return config_; }
    [[nodiscard]] const std::string& name() const { return name_; }

private:
    struct Unit {
        std::vector<uint8_t> bytes;
        bool endMarker = false;
        int64_t arrivalNs = 0;
    };

    // Everything travelling from one side to the other.
    struct Direction {
        SimByteQueue queued; // accepted by writes, not yet transmitted
        std::optional<Unit> sending;
        size_t sendingBytes = 0;
        std::deque<Unit> inFlight;
        size_t inFlightBytes = 0;
        int64_t lastArrivalNs = std::numeric_limits<int64_t>::min();
        bool endPending = false; // send the end marker once the queue is empty
        bool endSent = false;
        SimLinkStats stats;
    };

    struct Side {
        SimLoopRef loop;
        std::shared_ptr<SimLinkInput> inputStream;
        std::shared_ptr<SimLinkOutput> outputStream;
        StreamEnd input;
        StreamEnd output;
        SimByteQueue received; // from the peer, not yet read
        // The channel has ended as seen from here: reads end after the received bytes,
        // writes fail.
        bool ended = false;
        // Closed by its streams or by a fault; bytes arriving from now on are dropped.
        bool closed = false;
        std::optional<std::string> failure;
    };

    [[nodiscard]] bool messageMode() const { return config_.maxMessageSize > 0; }
    [[nodiscard]] size_t freeSpace(size_t side) const;
    [[nodiscard]] bool dropsArrivals(size_t side) const;
    StreamEnd& end(size_t side, bool input) {
        return input ? sides_[side].input : sides_[side].output;
    }
    [[nodiscard]] const StreamEnd& end(size_t side, bool input) const {
        return input ? sides_[side].input : sides_[side].output;
    }

    [[nodiscard]] bool holds(size_t side, bool input, StreamEvent event) const;
    void post(size_t side, bool input, StreamEvent event);
    void refresh(size_t side, bool input);
    void deliver(size_t side, bool input, StreamEvent event);
    static int64_t failWith(StreamEnd& end, std::string_view text);

    SimLinkTiming timingFor(size_t from, size_t bytes);
    void pump(size_t from);
    void finishSending(size_t from);
    void deliverDue(size_t from);
    void channelEnded(size_t side);
    void dropQueued(size_t from);
    void dropReceived(size_t side);
    void closeSide(size_t side, bool abrupt);

    SimWorld& world_;
    SimLinkConfig config_;
    std::string name_;
    size_t receiveWindow_ = 0; // 0: unlimited
    bool stalled_ = false;
    SimLinkTamper tamper_;
    std::array<Side, 2> sides_;
    std::array<Direction, 2> directions_; // indexed by the sending side
    // Transmissions and arrivals run on the link's own loop; it dies with the link, and so
    // do its queued events, which is what lets them refer to `this`.
    SimRunLoop air_;
};

} // namespace merriphonic
