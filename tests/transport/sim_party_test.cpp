// A host and seven speakers on one simulated air, with a second party nearby that nobody joins:
// discovery by name, the whole join, and framed connections over the channels.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/sim/sim_air.h"
#include "platform/sim/sim_device.h"
#include "platform/sim/sim_world.h"
#include "transport/connection.h"
#include "transport/host_peripheral.h"
#include "transport/speaker_central.h"

namespace merriphonic::transport_test {
namespace {

constexpr int64_t sec = 1'000'000'000;

TEST(SimRadioParty, SevenSpeakersFindThePartyByNameJoinAndTalkOverConnections) {
    SimWorld world(3);
    SimAir air(world);
    SimDevice hostDevice(world, "host");
    SimDevice denDevice(world, "den");
    air.attach(hostDevice, {0, 0});
    air.attach(denDevice, {6, 6});
    std::vector<std::unique_ptr<SimDevice>> speakers;
    std::vector<std::shared_ptr<Connection>> connections; // both ends of each channel
    std::set<std::string> hellos;
    int welcomes = 0;
    // Each end of a channel says what it got: the host welcomes every HELLO.
    const auto connect = [&](SimDevice& device, const std::shared_ptr<L2capChannel>& channel) {
        auto connection = Connection::create(device.context(), channel->streams, device.name());
        connection->onMessage = [&, c = connection.get()](const Message& message, int64_t) {
            if (const auto* hello = message.as<Hello>()) {
                hellos.insert(hello->name);
                c->enqueue(OutboundFrame(Message(Welcome{1, "host-id", "Kitchen"})));
            }
            welcomes += message.is<Welcome>() ? 1 : 0;
        };
        connection->start();
        return connections.emplace_back(connection);
    };
    auto host = HostPeripheral::create(hostDevice.context());
    auto den = HostPeripheral::create(denDevice.context());
    host->onChannel = [&](const auto& channel) { connect(hostDevice, channel); };
    den->onChannel = [](const auto& /*channel*/) { ADD_FAILURE() << "nobody joins the den"; };
    host->start("Kitchen");
    den->start("Den");
    world.runFor(sec / 2);

    std::vector<std::shared_ptr<SpeakerCentral>> centrals;
    for (int i = 0; i < 7; ++i) {
        auto& device = *speakers.emplace_back(
            std::make_unique<SimDevice>(world, "spk" + std::to_string(i + 1)));
        const double radiusM = 2.0 + i * 0.6;
        air.attach(device, {radiusM * std::cos(i * 0.9), radiusM * std::sin(i * 0.9)});
        auto central = centrals.emplace_back(SpeakerCentral::create(device.context()));
        central->onDiscovered = [c = central.get()](const DiscoveredHost& found) {
            if (found.name == "Kitchen" && !c->targetId()) {
                c->connect(found.id);
            }
        };
        central->onChannel = [&, d = &device](const auto& channel, const auto& partyName) {
            EXPECT_EQ(partyName, "Kitchen");
            connect(*d, channel)
                ->enqueue(OutboundFrame(Message(Hello{1, d->name(), d->name(), "linux"})));
        };
        central->startScan();
    }
    world.runFor(5 * sec);
    EXPECT_EQ(hellos.size(), 7u);
    EXPECT_EQ(welcomes, 7);
    EXPECT_EQ(hostDevice.logSink().count("host: L2CAP channel opened by "), 7u);
    for (auto& connection : connections) {
        connection->close("done");
    }
    world.runFor(sec);
}

} // namespace
} // namespace merriphonic::transport_test
