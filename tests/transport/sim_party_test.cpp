// Framed connections over channels of the simulated air, opened the way the app opens them. (A
// whole party over the same air is tests/party.)
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <utility>
#include <vector>

#include "core/time_units.h"
#include "platform/sim/sim_air.h"
#include "platform/sim/sim_device.h"
#include "platform/sim/sim_world.h"
#include "transport/connection.h"
#include "transport/host_peripheral.h"
#include "transport/speaker_central.h"

namespace merriphonic::transport_test {
namespace {

// On an idle link a PING goes in the link's next connection event and its PONG, written after
// that event has closed, in the event one interval later; each passes a host stack (0.3 to 3 ms)
// on the way down and on the way up. So every PONG arrives at the same place of the event grid,
// give or take the spread of the stacks.
TEST(SimRadioParty, APongComesOneConnectionIntervalAfterItsPingsEvent) {
    SimWorld world(8);
    SimAir air(world);
    const SimRadioModel& model = air.model();
    SimDevice hostDevice(world, "host");
    SimDevice speakerDevice(world, "spk");
    air.attach(hostDevice, {0, 0});
    air.attach(speakerDevice, {2, 0});
    std::shared_ptr<Connection> hostEnd;
    std::shared_ptr<Connection> speakerEnd;
    std::vector<std::pair<Pong, int64_t>> pongs;
    auto host = HostPeripheral::create(hostDevice.context());
    host->onChannel = [&](const auto& channel) {
        hostEnd = Connection::create(hostDevice.context(), channel->streams, "spk");
        hostEnd->autoPong = true;
        hostEnd->start();
    };
    host->start("Kitchen");
    auto central = SpeakerCentral::create(speakerDevice.context());
    central->onDiscovered = [&](const DiscoveredHost& found) {
        if (!central->targetId()) {
            central->connect(found.id);
        }
    };
    central->onChannel = [&](const auto& channel, const auto&) {
        speakerEnd = Connection::create(speakerDevice.context(), channel->streams, "host");
        speakerEnd->onMessage = [&](const Message& message, int64_t receiveNs) {
            if (const auto* pong = message.as<Pong>()) {
                pongs.emplace_back(*pong, receiveNs);
            }
        };
        speakerEnd->start();
    };
    central->startScan();
    world.runFor(3 * nsPerSecond);
    ASSERT_NE(speakerEnd, nullptr);
    for (uint32_t seq = 1; seq <= 40; ++seq) {
        speakerEnd->enqueue(OutboundFrame::ping(seq));
        world.runFor(50'000'000 + 3'000'000 * (seq % 7)); // wherever in the interval
    }
    world.runFor(nsPerSecond);
    ASSERT_EQ(pongs.size(), 40u);
    const int64_t interval = model.connectionIntervalNs;
    const int64_t stackSpread = model.stackLatencyMaxNs - model.stackLatencyMinNs;
    // Both clocks are the world's, so host and speaker times compare directly.
    std::vector<int64_t> phases;
    for (const auto& [pong, t4] : pongs) {
        const int64_t rtt = (t4 - pong.t1) - (pong.t3 - pong.t2);
        EXPECT_GE(rtt, interval + 4 * model.stackLatencyMinNs);
        EXPECT_LE(rtt, 2 * interval + 4 * model.stackLatencyMaxNs + 2 * model.pduAirtimeNs);
        // From the PING's arrival to the PONG's: one interval, give or take the stacks.
        EXPECT_NEAR(double(t4 - pong.t2), double(interval), double(stackSpread) + 1e5);
        phases.push_back(t4 % interval);
    }
    // The arrivals sit on the event grid: every phase within the stacks' spread of the others
    // (around the circle of one interval).
    std::sort(phases.begin(), phases.end());
    int64_t largestGap = phases.front() + interval - phases.back();
    for (size_t i = 1; i < phases.size(); ++i) {
        largestGap = std::max(largestGap, phases[i] - phases[i - 1]);
    }
    EXPECT_GE(largestGap, interval - stackSpread);
    speakerEnd->close("done");
    hostEnd->close("done");
    world.runFor(nsPerSecond);
}

} // namespace
} // namespace merriphonic::transport_test
