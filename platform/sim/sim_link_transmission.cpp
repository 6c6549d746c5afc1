// SimLink's transmission: units timed, sent, delivered and dropped, and the link's faults.

#include <algorithm>
#include <utility>
#include <vector>

#include "platform/sim/sim_link_core.h"
#include "platform/sim/sim_world.h"

namespace merriphonic {

using namespace sim_link;

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

} // namespace merriphonic
