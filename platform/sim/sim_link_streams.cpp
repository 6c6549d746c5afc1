// SimLink's streams and what they ask of the link: their events, reads and writes.

#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "platform/sim/sim_link_core.h"
#include "platform/sim/sim_world.h"

namespace merriphonic {

using namespace sim_link;

namespace {

constexpr std::string_view releasedText = "the channel was released";

} // namespace

class SimLinkInput final : public InputStream {
public:
    SimLinkInput(std::weak_ptr<SimLink::Core> core, size_t side)
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

class SimLinkOutput final : public OutputStream {
public:
    SimLinkOutput(std::weak_ptr<SimLink::Core> core, size_t side)
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

void SimLink::Core::createStreams() {
    for (size_t side = 0; side < 2; ++side) {
        sides_[side].inputStream = std::make_shared<SimLinkInput>(weak_from_this(), side);
        sides_[side].outputStream = std::make_shared<SimLinkOutput>(weak_from_this(), side);
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

} // namespace merriphonic
