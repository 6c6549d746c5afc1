#include "platform/sim/sim_link.h"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <utility>

#include "platform/sim/sim_link_core.h"
#include "platform/sim/sim_world.h"

namespace merriphonic {

using sim_link::indexOf;

namespace {

using Wide = __int128;

int64_t saturatingAdd(int64_t a, int64_t b) {
    int64_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum)) {
        return b > 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
    }
    return sum;
}

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