#include "platform/sim/sim_link.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <deque>
#include <limits>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "platform/sim/sim_run_loop.h"
#include "platform/sim/sim_world.h"

namespace merriphonic {

namespace {

using Wide = __int128;

constexpr size_t indexOf(SimLinkSide side) {
    return side == SimLinkSide::a ? 0 : 1;
}
constexpr SimLinkSide sideAt(size_t index) {
    return index == 0 ? SimLinkSide::a : SimLinkSide::b;
}
constexpr size_t eventIndex(StreamEvent event) {
    return static_cast<size_t>(event);
}

int64_t saturatingAdd(int64_t a, int64_t b) {
    int64_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum)) {
        return b > 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
    }
    return sum;
}

constexpr std::string_view releasedText = "the channel was released";

// Bytes held as chunks (one write, one segment or one message each), consumed from the front.
class ByteQueue {
public:
    void push(std::vector<uint8_t> chunk) {
        if (chunk.empty()) {
            return;
        }
        size_ += chunk.size();
        chunks_.push_back(std::move(chunk));
    }

    [[nodiscard]] size_t size() const { return size_; }
    [[nodiscard]] bool empty() const { return size_ == 0; }
    [[nodiscard]] size_t frontRemaining() const {
        return chunks_.empty() ? 0 : chunks_.front().size() - offset_;
    }

    // Copies up to max bytes to out; with oneChunk, only from the front chunk.
    size_t read(uint8_t* out, size_t max, bool oneChunk) {
        size_t done = 0;
        while (done < max && !chunks_.empty()) {
            const std::vector<uint8_t>& front = chunks_.front();
            const size_t count = std::min(max - done, front.size() - offset_);
            std::memcpy(out + done, front.data() + offset_, count);
            done += count;
            consume(count);
            if (oneChunk) {
                break;
            }
        }
        return done;
    }

    // Takes up to max bytes as one chunk; with oneChunk, only from the front chunk.
    std::vector<uint8_t> take(size_t max, bool oneChunk) {
        if (!chunks_.empty() && offset_ == 0 && chunks_.front().size() <= max &&
            (oneChunk || chunks_.front().size() == max || chunks_.size() == 1)) {
            std::vector<uint8_t> chunk = std::move(chunks_.front());
            chunks_.pop_front();
            size_ -= chunk.size();
            return chunk;
        }
        std::vector<uint8_t> bytes(std::min(max, oneChunk ? frontRemaining() : size_));
        bytes.resize(read(bytes.data(), bytes.size(), oneChunk));
        return bytes;
    }

    // Empties the queue, returning how many bytes it held.
    size_t clear() {
        const size_t dropped = size_;
        chunks_.clear();
        offset_ = 0;
        size_ = 0;
        return dropped;
    }

private:
    void consume(size_t count) {
        offset_ += count;
        size_ -= count;
        if (offset_ == chunks_.front().size()) {
            chunks_.pop_front();
            offset_ = 0;
        }
    }

    std::deque<std::vector<uint8_t>> chunks_;
    size_t offset_ = 0;
    size_t size_ = 0;
};

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

class LinkInput;
class LinkOutput;

} // namespace

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
        ByteQueue queued; // accepted by writes, not yet transmitted
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
        std::shared_ptr<LinkInput> inputStream;
        std::shared_ptr<LinkOutput> outputStream;
        StreamEnd input;
        StreamEnd output;
        ByteQueue received; // from the peer, not yet read
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

namespace {

class LinkInput final : public InputStream {
public:
    LinkInput(std::weak_ptr<SimLink::Core> core, size_t side)
        : core_(std::move(core)), side_(side) {}

    void setEventHandler(StreamEventHandler handler) override {
        if (auto core = core_.lock()) {
            core->setHandler(side_, true, std::move(handler));
        }
    }
    void open() override {
        if (auto core = core_.lock()) {
            core->open(side_, true);
        }
    }
    void close() override {
        if (auto core = core_.lock()) {
            core->close(side_, true);
        }
    }
    [[nodiscard]] bool hasBytesAvailable() const override {
        auto core = core_.lock();
        return !core || core->hasBytesAvailable(side_);
    }
    int64_t read(uint8_t* buffer, size_t maxLength) override {
        auto core = core_.lock();
        return core ? core->read(side_, buffer, maxLength) : -1;
    }
    [[nodiscard]] std::string errorDescription() const override {
        auto core = core_.lock();
        return core ? core->errorDescription(side_, true) : std::string(releasedText);
    }

private:
    std::weak_ptr<SimLink::Core> core_;
    size_t side_;
};

class LinkOutput final : public OutputStream {
public:
    LinkOutput(std::weak_ptr<SimLink::Core> core, size_t side)
        : core_(std::move(core)), side_(side) {}

    void setEventHandler(StreamEventHandler handler) override {
        if (auto core = core_.lock()) {
            core->setHandler(side_, false, std::move(handler));
        }
    }
    void open() override {
        if (auto core = core_.lock()) {
            core->open(side_, false);
        }
    }
    void close() override {
        if (auto core = core_.lock()) {
            core->close(side_, false);
        }
    }
    [[nodiscard]] bool hasSpaceAvailable() const override {
        auto core = core_.lock();
        return !core || core->hasSpaceAvailable(side_);
    }
    int64_t write(const uint8_t* buffer, size_t length) override {
        auto core = core_.lock();
        return core ? core->write(side_, buffer, length) : -1;
    }
    [[nodiscard]] std::string errorDescription() const override {
        auto core = core_.lock();
        return core ? core->errorDescription(side_, false) : std::string(releasedText);
    }

private:
    std::weak_ptr<SimLink::Core> core_;
    size_t side_;
};

SimLinkConfig validated(SimLinkConfig config) {
    if (config.latencyNs < 0 || config.jitterNs < 0 || config.bytesPerSecond < 0) {
        throw std::invalid_argument("SimLink: latency, jitter and bandwidth must not be negative");
    }
    if (config.sendBufferBytes == 0 || config.segmentBytes == 0) {
        throw std::invalid_argument("SimLink: buffers and segments must hold at least a byte");
    }
    // A buffer smaller than the largest message could never accept it.
    config.sendBufferBytes = std::max(config.sendBufferBytes, config.maxMessageSize);
    return config;
}

} // namespace

// ---- construction ----------------------------------------------------------------------------

SimLink::Core::Core(SimWorld& world, SimRunLoop& loopA, SimRunLoop& loopB, SimLinkConfig config,
                    std::string name)
    : world_(world), config_(validated(std::move(config))), name_(std::move(name)),
      air_(world, name_ + ".air") {
    if (config_.receiveBufferBytes > 0) {
        // The window must take the largest unit, or the link would stop for good.
        const size_t largestUnit = messageMode() ? config_.maxMessageSize : config_.segmentBytes;
        receiveWindow_ = std::max(config_.receiveBufferBytes, largestUnit);
        config_.receiveBufferBytes = receiveWindow_;
    }
    sides_[0].loop = loopA.ref();
    sides_[1].loop = loopB.ref();
}

void SimLink::Core::createStreams() {
    for (size_t side = 0; side < 2; ++side) {
        sides_[side].inputStream = std::make_shared<LinkInput>(weak_from_this(), side);
        sides_[side].outputStream = std::make_shared<LinkOutput>(weak_from_this(), side);
    }
}

StreamPair SimLink::Core::pair(size_t side) {
    return StreamPair{sides_[side].inputStream, sides_[side].outputStream, shared_from_this()};
}

// ---- events ----------------------------------------------------------------------------------

bool SimLink::Core::holds(size_t side, bool input, StreamEvent event) const {
    const Side& s = sides_[side];
    const StreamEnd& e = end(side, input);
    if (e.state != EndState::open) {
        return false;
    }
    const bool reported = e.reported[eventIndex(event)];
    switch (event) {
    case StreamEvent::openCompleted:
        return !reported;
    case StreamEvent::error:
        return s.failure.has_value() && !reported;
    case StreamEvent::end:
        return !s.failure && s.ended && (!input || s.received.empty()) && !reported;
    case StreamEvent::bytesAvailable:
        return input && !s.failure && !s.received.empty() && e.armed;
    case StreamEvent::spaceAvailable:
        return !input && !s.failure && !s.ended && e.armed &&
               freeSpace(side) >= std::max<size_t>(config_.maxMessageSize, 1);
    }
    return false;
}

void SimLink::Core::post(size_t side, bool input, StreamEvent event) {
    StreamEnd& e = end(side, input);
    e.pending[eventIndex(event)] = true;
    sides_[side].loop.post([weak = weak_from_this(), side, input, event] {
        if (auto core = weak.lock()) {
            core->deliver(side, input, event);
        }
    });
}

void SimLink::Core::refresh(size_t side, bool input) {
    const StreamEnd& e = end(side, input);
    if (e.state != EndState::open) {
        return;
    }
    for (StreamEvent event : {StreamEvent::error, StreamEvent::end,
                              input ? StreamEvent::bytesAvailable : StreamEvent::spaceAvailable}) {
        if (!e.pending[eventIndex(event)] && holds(side, input, event)) {
            post(side, input, event);
        }
    }
}

void SimLink::Core::deliver(size_t side, bool input, StreamEvent event) {
    StreamEnd& e = end(side, input);
    e.pending[eventIndex(event)] = false;
    // The condition is checked again now: the stream may have been read, written, closed or
    // failed since the event was posted.
    if (!holds(side, input, event) || !e.handler) {
        return;
    }
    if (event == StreamEvent::bytesAvailable || event == StreamEvent::spaceAvailable) {
        e.armed = false;
    } else {
        e.reported[eventIndex(event)] = true;
    }
    // A copy, so that the handler may replace or clear itself.
    const StreamEventHandler handler = e.handler;
    handler(event);
}

int64_t SimLink::Core::failWith(StreamEnd& end, std::string_view text) {
    end.lastError = std::string(text);
    return -1;
}

// ---- stream operations -----------------------------------------------------------------------

void SimLink::Core::setHandler(size_t side, bool input, StreamEventHandler handler) {
    StreamEnd& e = end(side, input);
    if (e.state != EndState::closed) {
        e.handler = std::move(handler);
    }
}

void SimLink::Core::open(size_t side, bool input) {
    StreamEnd& e = end(side, input);
    if (e.state != EndState::created) {
        return;
    }
    e.state = EndState::open;
    post(side, input, StreamEvent::openCompleted);
    refresh(side, input);
}

void SimLink::Core::close(size_t side, bool input) {
    StreamEnd& e = end(side, input);
    if (e.state == EndState::closed) {
        return;
    }
    e.state = EndState::closed;
    // Releases whatever the handler captured; a handler running now holds its own copy.
    e.handler = nullptr;
    if (input) {
        dropReceived(side);
        pump(1 - side);
    }
    if (sides_[side].input.state == EndState::closed &&
        sides_[side].output.state == EndState::closed) {
        closeSide(side, false);
    }
}

bool SimLink::Core::hasBytesAvailable(size_t side) const {
    const Side& s = sides_[side];
    return s.input.state == EndState::open && (s.failure || !s.received.empty() || s.ended);
}

bool SimLink::Core::hasSpaceAvailable(size_t side) const {
    const Side& s = sides_[side];
    return s.output.state == EndState::open &&
           (s.failure || s.ended || freeSpace(side) >= std::max<size_t>(config_.maxMessageSize, 1));
}

int64_t SimLink::Core::read(size_t side, uint8_t* buffer, size_t maxLength) {
    Side& s = sides_[side];
    StreamEnd& e = s.input;
    if (e.state == EndState::created) {
        return failWith(e, "the stream is not open");
    }
    if (e.state == EndState::closed) {
        return failWith(e, "the stream is closed");
    }
    if (s.failure) {
        return -1;
    }
    if (!s.received.empty()) {
        if (maxLength == 0) {
            return 0;
        }
        const size_t count = s.received.read(buffer, maxLength, messageMode());
        directions_[1 - side].stats.bytesRead += count;
        e.armed = true;
        pump(1 - side); // the read returned credit to the sender
        refresh(side, true);
        return static_cast<int64_t>(count);
    }
    if (s.ended) {
        e.armed = true;
        refresh(side, true);
        return 0;
    }
    // Reading with nothing available is the caller's mistake; 0 would wrongly mean the end.
    return failWith(e, "no bytes available: the read would block");
}

int64_t SimLink::Core::write(size_t side, const uint8_t* buffer, size_t length) {
    Side& s = sides_[side];
    StreamEnd& e = s.output;
    if (e.state == EndState::created) {
        return failWith(e, "the stream is not open");
    }
    if (e.state == EndState::closed) {
        return failWith(e, "the stream is closed");
    }
    if (s.failure) {
        return -1;
    }
    if (s.ended) {
        return failWith(e, "the channel is closed");
    }
    if (length == 0) {
        return 0;
    }
    Direction& direction = directions_[side];
    const size_t free = freeSpace(side);
    // A message is accepted whole or not at all; a byte stream takes what fits.
    const size_t count =
        messageMode() ? std::min(length, config_.maxMessageSize) : std::min(length, free);
    e.armed = true;
    if (count == 0 || count > free) {
        ++direction.stats.fullWrites;
        return 0;
    }
    direction.queued.push(std::vector<uint8_t>(buffer, buffer + count));
    direction.stats.bytesWritten += count;
    pump(side);
    refresh(side, false);
    return static_cast<int64_t>(count);
}

std::string SimLink::Core::errorDescription(size_t side, bool input) const {
    const Side& s = sides_[side];
    if (s.failure) {
        return *s.failure;
    }
    return end(side, input).lastError;
}

// ---- transmission ----------------------------------------------------------------------------

size_t SimLink::Core::freeSpace(size_t side) const {
    const Direction& direction = directions_[side];
    const size_t used = direction.queued.size() + direction.sendingBytes;
    return used >= config_.sendBufferBytes ? 0 : config_.sendBufferBytes - used;
}

bool SimLink::Core::dropsArrivals(size_t side) const {
    const Side& s = sides_[side];
    return s.closed || s.failure || s.input.state == EndState::closed;
}

SimLinkTiming SimLink::Core::timingFor(size_t from, size_t bytes) {
    const int64_t now = world_.nowNs();
    const SimLinkUnit unit{sideAt(from), now, bytes};
    SimLinkTiming timing =
        config_.timing ? config_.timing(unit) : basicTiming(config_, world_.rng(), unit);
    Direction& direction = directions_[from];
    timing.sentNs = std::max(timing.sentNs, now);
    timing.arrivalNs = std::max({timing.arrivalNs, timing.sentNs, direction.lastArrivalNs});
    direction.lastArrivalNs = timing.arrivalNs;
    return timing;
}

void SimLink::Core::pump(size_t from) {
    Direction& direction = directions_[from];
    if (stalled_ || direction.sending || sides_[from].failure) {
        return;
    }
    const size_t to = 1 - from;
    if (!direction.queued.empty()) {
        const size_t unitBytes = messageMode()
                                     ? direction.queued.frontRemaining()
                                     : std::min(direction.queued.size(), config_.segmentBytes);
        if (receiveWindow_ > 0 && !dropsArrivals(to) &&
            sides_[to].received.size() + direction.inFlightBytes + unitBytes > receiveWindow_) {
            return; // no credit: wait for the receiver to read
        }
        Unit unit;
        unit.bytes = direction.queued.take(unitBytes, messageMode());
        const SimLinkTiming timing = timingFor(from, unitBytes);
        unit.arrivalNs = timing.arrivalNs;
        direction.sending = std::move(unit);
        direction.sendingBytes = unitBytes;
        air_.postAt(timing.sentNs, [this, from] { finishSending(from); });
        return;
    }
    if (direction.endPending && !direction.endSent) {
        direction.endSent = true;
        const SimLinkTiming timing = timingFor(from, 0);
        direction.inFlight.push_back(Unit{{}, true, timing.arrivalNs});
        air_.postAt(timing.arrivalNs, [this, from] { deliverDue(from); });
    }
}

void SimLink::Core::finishSending(size_t from) {
    Direction& direction = directions_[from];
    if (!direction.sending) {
        return;
    }
    Unit unit = std::move(*direction.sending);
    direction.sending.reset();
    direction.sendingBytes = 0;
    const int64_t arrivalNs = unit.arrivalNs;
    direction.inFlightBytes += unit.bytes.size();
    direction.inFlight.push_back(std::move(unit));
    air_.postAt(arrivalNs, [this, from] { deliverDue(from); });
    refresh(from, false); // room in the send buffer
    pump(from);
}

void SimLink::Core::deliverDue(size_t from) {
    if (stalled_) {
        return; // delivered when the stall ends
    }
    Direction& direction = directions_[from];
    const size_t to = 1 - from;
    const int64_t now = world_.nowNs();
    while (!direction.inFlight.empty() && direction.inFlight.front().arrivalNs <= now) {
        Unit unit = std::move(direction.inFlight.front());
        direction.inFlight.pop_front();
        direction.inFlightBytes -= unit.bytes.size();
        if (unit.endMarker) {
            channelEnded(to);
            continue;
        }
        if (dropsArrivals(to)) {
            direction.stats.bytesDropped += unit.bytes.size();
            continue;
        }
        if (tamper_) {
            const size_t count = unit.bytes.size();
            // A copy runs, so that the tamper may replace itself.
            const SimLinkTamper tamper = tamper_;
            tamper(sideAt(from), unit.bytes);
            unit.bytes.resize(count); // damage changes bytes, never their number
        }
        direction.stats.bytesDelivered += unit.bytes.size();
        ++direction.stats.messagesDelivered;
        sides_[to].received.push(std::move(unit.bytes));
    }
    refresh(to, true);
    pump(from);
}

void SimLink::Core::channelEnded(size_t side) {
    Side& s = sides_[side];
    if (s.ended) {
        return;
    }
    s.ended = true;
    dropQueued(side); // nobody left to send it to
    refresh(side, true);
    refresh(side, false);
}

void SimLink::Core::dropQueued(size_t from) {
    Direction& direction = directions_[from];
    direction.stats.bytesDropped += direction.queued.clear();
}

void SimLink::Core::dropReceived(size_t side) {
    directions_[1 - side].stats.bytesDropped += sides_[side].received.clear();
}

void SimLink::Core::closeSide(size_t side, bool abrupt) {
    Side& s = sides_[side];
    if (s.closed) {
        return;
    }
    s.closed = true;
    Direction& direction = directions_[side];
    direction.endPending = true;
    if (abrupt) {
        dropQueued(side);
        channelEnded(side);
    } else {
        dropReceived(side);
    }
    pump(side);
    pump(1 - side); // arrivals are dropped now, so the peer needs no credit
}

// ---- faults ----------------------------------------------------------------------------------

void SimLink::Core::closeChannel(size_t side) {
    closeSide(side, true);
}

void SimLink::Core::fail(size_t side, const std::string& description) {
    Side& s = sides_[side];
    if (s.failure) {
        return; // the first failure is the one reported
    }
    s.failure = description;
    dropQueued(side);
    dropReceived(side);
    refresh(side, true);
    refresh(side, false);
    pump(1 - side);
}

void SimLink::Core::stall(bool stalled) {
    stalled_ = stalled;
    if (stalled) {
        return;
    }
    for (size_t from = 0; from < 2; ++from) {
        deliverDue(from);
        pump(from);
    }
}

// ---- SimLink ---------------------------------------------------------------------------------

SimLink::SimLink(SimWorld& world, SimRunLoop& loopA, SimRunLoop& loopB, SimLinkConfig config,
                 std::string name)
    : core_(std::make_shared<Core>(world, loopA, loopB, std::move(config), std::move(name))) {
    core_->createStreams();
}

SimLink::~SimLink() = default;

StreamPair SimLink::side(SimLinkSide side) const {
    return core_->pair(indexOf(side));
}

void SimLink::close(SimLinkSide side) {
    core_->closeChannel(indexOf(side));
}

void SimLink::fail(SimLinkSide side, const std::string& description) {
    core_->fail(indexOf(side), description);
}

void SimLink::failBoth(const std::string& description) {
    core_->fail(0, description);
    core_->fail(1, description);
}

void SimLink::stall(bool stalled) {
    core_->stall(stalled);
}

bool SimLink::isStalled() const {
    return core_->isStalled();
}

void SimLink::setTamper(SimLinkTamper tamper) {
    core_->setTamper(std::move(tamper));
}

SimLinkStats SimLink::stats(SimLinkSide from) const {
    return core_->stats(indexOf(from));
}

const SimLinkConfig& SimLink::config() const {
    return core_->config();
}

const std::string& SimLink::name() const {
    return core_->name();
}

SimLinkTiming SimLink::basicTiming(const SimLinkConfig& config, std::mt19937_64& rng,
                                   const SimLinkUnit& unit) {
    int64_t sentNs = unit.readyNs;
    if (config.bytesPerSecond > 0 && unit.bytes > 0) {
        const Wide nanos =
            (Wide(unit.bytes) * 1'000'000'000 + config.bytesPerSecond - 1) / config.bytesPerSecond;
        sentNs = nanos > std::numeric_limits<int64_t>::max()
                     ? std::numeric_limits<int64_t>::max()
                     : saturatingAdd(sentNs, static_cast<int64_t>(nanos));
    }
    int64_t arrivalNs = saturatingAdd(sentNs, config.latencyNs);
    if (config.jitterNs > 0) {
        const uint64_t span = static_cast<uint64_t>(config.jitterNs) + 1;
        arrivalNs = saturatingAdd(arrivalNs, static_cast<int64_t>(rng() % span));
    }
    return SimLinkTiming{sentNs, arrivalNs};
}

} // namespace merriphonic
