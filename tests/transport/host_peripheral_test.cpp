#include "transport/host_peripheral.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>

#include "core/sync_protocol.h"
#include "fake_radio.h"
#include "platform/sim/sim_device.h"
#include "platform/sim/sim_world.h"

namespace merriphonic {

// GoogleTest's printer hook; the name is its.
void PrintTo(const HostPeripheral::Phase& phase, std::ostream* out) { // NOLINT
    *out << "Phase(" << static_cast<int>(phase.kind) << ", \"" << phase.text << "\")";
}

namespace transport_test {
namespace {

using Phase = HostPeripheral::Phase;
using Calls = std::vector<std::string>;
const std::optional<RadioError> ok;

class HostPeripheralTest : public ::testing::Test {
protected:
    HostPeripheralTest() {
        device.context().radio = &radio;
        peripheral->onState = [this](RadioState state) { states.push_back(state); };
        peripheral->onPhase = [this](const Phase& phase) { phases.push_back(phase); };
        peripheral->onChannel = [this](std::shared_ptr<L2capChannel> channel) {
            channels.push_back(std::move(channel));
        };
    }

    FakePeripheralManager& manager() { return *radio.peripheral; }
    void power(RadioState state) {
        manager().radioState = state;
        peripheral->peripheralStateChanged(state);
    }
    // The radio's answers to a whole start, with the PSM it picks.
    void runToAdvertising(uint16_t psm = 129) {
        power(RadioState::poweredOn);
        peripheral->channelPublished(psm, ok);
        peripheral->serviceAdded(manager().services.back(), ok);
        peripheral->advertisingStarted(ok);
    }
    [[nodiscard]] size_t publications() {
        return std::count(manager().calls.begin(), manager().calls.end(), "publish");
    }

    SimWorld world;
    SimDevice device{world, "host"};
    FakeRadio radio;
    std::shared_ptr<HostPeripheral> peripheral = HostPeripheral::create(device.context());
    std::vector<RadioState> states;
    std::vector<Phase> phases;
    std::vector<std::shared_ptr<L2capChannel>> channels;
};

TEST(HostPeripheralContract, PsmIsLittleEndianAndInfoIsFixedJson) {
    EXPECT_EQ(HostPeripheral::psmValue(129), (Bytes{129, 0}));
    EXPECT_EQ(HostPeripheral::psmValue(300), (Bytes{44, 1}));
    const Bytes info = HostPeripheral::infoValue("Ann's \"party\"");
    EXPECT_EQ(std::string(info.begin(), info.end()),
              R"({"v":1,"name":"Ann's \"party\"","platform":"linux"})");

    const GattServiceSpec service = HostPeripheral::service(300, "Kitchen");
    EXPECT_EQ(service.uuid, SyncProtocol::serviceUUID);
    EXPECT_TRUE(service.primary);
    EXPECT_EQ(service.characteristics,
              (std::vector<GattCharacteristicSpec>{
                  {std::string(SyncProtocol::psmCharacteristicUUID), Bytes{44, 1}},
                  {std::string(SyncProtocol::infoCharacteristicUUID),
                   HostPeripheral::infoValue("Kitchen")}}));
}

TEST_F(HostPeripheralTest, StartPublishesAddsTheServiceAdvertisesAndHandsOverChannels) {
    peripheral->stop(); // before any start: nothing, not even a manager
    EXPECT_EQ(radio.managersMade, 0);
    EXPECT_EQ(device.logSink().size(), 0u);

    peripheral->start("Kitchen");
    EXPECT_EQ(phases, (std::vector{Phase::starting()}));
    EXPECT_TRUE(manager().calls.empty()) << "nothing happens before the radio is on";
    runToAdvertising();
    EXPECT_EQ(manager().calls,
              (Calls{"publish", "removeAllServices", "addService", "startAdvertising Kitchen"}));
    EXPECT_EQ(manager().services.back(), HostPeripheral::service(129, "Kitchen"));
    EXPECT_EQ(manager().advertisements.back(),
              (AdvertisingData{{std::string(SyncProtocol::serviceUUID)}, "Kitchen"}));
    EXPECT_EQ(states, (std::vector{RadioState::poweredOn}));
    EXPECT_EQ(phases, (std::vector{Phase::starting(), Phase::advertising()}));

    auto channel = std::make_shared<L2capChannel>(L2capChannel{"PEER-1", {}});
    peripheral->channelOpened(channel, ok);
    peripheral->channelOpened(nullptr, RadioError{"Busy"});
    EXPECT_EQ(channels, (std::vector{channel}));
    EXPECT_EQ(phases.size(), 2u) << "an incoming failure changes no phase";

    manager().calls.clear();
    peripheral->stop();
    EXPECT_EQ(manager().calls, (Calls{"stopAdvertising", "removeAllServices", "unpublish 129"}));
    EXPECT_EQ(phases.back(), Phase::idle());
    peripheral->channelUnpublished(129, ok);
    EXPECT_EQ(device.logSink().messages(), (Calls{
                                               "host: peripheral manager state on",
                                               "host: publishing L2CAP channel (no encryption)",
                                               "host: L2CAP PSM 129",
                                               "host: advertising \"Kitchen\"",
                                               "host: L2CAP channel opened by PEER-1",
                                               "host: incoming L2CAP open failed: Busy",
                                               "host: stopped advertising",
                                               "host: unpublished PSM 129",
                                           }));
    EXPECT_EQ(device.logSink().lines()[5].level, LogLevel::error);

    // The manager is kept, and on: the next start publishes at once.
    manager().calls.clear();
    peripheral->start("Kitchen");
    EXPECT_EQ(radio.managersMade, 1);
    EXPECT_EQ(manager().calls, (Calls{"publish"}));
}

TEST_F(HostPeripheralTest, EachRadioFailureEndsInItsSentenceOnce) {
    const std::vector<std::pair<std::string, std::string>> cases{
        {"Couldn't open a Bluetooth channel: No resources",
         "host: publishL2CAPChannel failed: No resources"},
        {"Couldn't start the Bluetooth service: No resources",
         "host: add service failed: No resources"},
        {"Couldn't advertise: No resources", "host: advertising failed: No resources"},
    };
    for (size_t step = 0; step < cases.size(); ++step) {
        SCOPED_TRACE(cases[step].first);
        auto host = HostPeripheral::create(device.context());
        std::vector<Phase> seen;
        host->onPhase = [&seen](const Phase& phase) { seen.push_back(phase); };
        device.logSink().clear();
        host->start("Kitchen");
        host->peripheralStateChanged(RadioState::poweredOn);
        const RadioError error{"No resources"};
        for (int twice = 0; twice < 2; ++twice) {
            host->channelPublished(129, step == 0 ? std::optional(error) : ok);
            if (step > 0) {
                host->serviceAdded(radio.peripheral->services.back(),
                                   step == 1 ? std::optional(error) : ok);
            }
            if (step > 1) {
                host->advertisingStarted(error);
            }
        }
        EXPECT_EQ(seen, (std::vector{Phase::starting(), Phase::failed(cases[step].first)}));
        EXPECT_EQ(device.logSink().count(cases[step].second), 2u);
    }
}

TEST_F(HostPeripheralTest, AnswersArrivingAfterStopUndoWhatTheyWouldSetUp) {
    peripheral->start("Kitchen");
    power(RadioState::poweredOn);
    peripheral->stop();
    manager().calls.clear();
    peripheral->channelPublished(129, ok);
    EXPECT_EQ(manager().calls, (Calls{"unpublish 129"})) << "no service for a stopped host";
    EXPECT_FALSE(peripheral->psm());

    peripheral->start("Kitchen");
    peripheral->channelPublished(130, ok);
    peripheral->stop();
    manager().calls.clear();
    peripheral->serviceAdded(manager().services.back(), ok);
    EXPECT_TRUE(manager().calls.empty()) << "no advertising for a stopped host";

    peripheral->start("Kitchen");
    peripheral->channelPublished(131, ok);
    peripheral->serviceAdded(manager().services.back(), ok);
    peripheral->stop();
    manager().advertising = true; // this radio reports advertising only once it has begun
    manager().calls.clear();
    peripheral->advertisingStarted(ok);
    peripheral->channelPublished(0, RadioError{"late"});
    EXPECT_EQ(manager().calls, (Calls{"stopAdvertising"}));
    EXPECT_EQ(peripheral->phase(), Phase::idle());
}

TEST_F(HostPeripheralTest, StartingTwicePublishesOneChannel) {
    peripheral->start("Kitchen");
    power(RadioState::poweredOn);
    peripheral->start("Kitchen"); // the publication is still on its way
    runToAdvertising();
    peripheral->start("Kitchen"); // PSM held, advertising
    EXPECT_EQ(publications(), 1u);
    EXPECT_EQ(peripheral->phase(), Phase::advertising());

    // A new name while running is advertised on the same channel.
    manager().calls.clear();
    peripheral->start("Den");
    EXPECT_EQ(manager().calls, (Calls{"stopAdvertising", "removeAllServices", "addService"}));
    EXPECT_EQ(manager().services.back(), HostPeripheral::service(129, "Den"));
    peripheral->serviceAdded(manager().services.back(), ok);
    peripheral->advertisingStarted(ok);
    EXPECT_EQ(manager().advertisements.back().localName, "Den");
    EXPECT_EQ(peripheral->phase(), Phase::advertising());
}

TEST_F(HostPeripheralTest, PowerCycleForgetsThePsmAndRebuildsWithANewOne) {
    peripheral->start("Kitchen");
    runToAdvertising(129);
    size_t calls = manager().calls.size();
    power(RadioState::poweredOff);
    EXPECT_EQ(states.back(), RadioState::poweredOff);
    EXPECT_FALSE(peripheral->psm());
    EXPECT_EQ(peripheral->phase(), Phase::starting());
    EXPECT_EQ(manager().calls.size(), calls);

    power(RadioState::poweredOn);
    peripheral->channelPublished(130, ok);
    EXPECT_EQ(manager().services.back(), HostPeripheral::service(130, "Kitchen"));
    // The late answer for the old PSM's service must not start advertising.
    calls = manager().calls.size();
    peripheral->serviceAdded(HostPeripheral::service(129, "Kitchen"), ok);
    EXPECT_EQ(manager().calls.size(), calls);
    peripheral->serviceAdded(manager().services.back(), ok);
    peripheral->advertisingStarted(ok);
    EXPECT_EQ(peripheral->phase(), Phase::advertising());

    // A cycle after a failure returns to starting too, and publishes afresh.
    peripheral->advertisingStarted(RadioError{"Busy"});
    power(RadioState::unauthorized);
    EXPECT_EQ(peripheral->phase(), Phase::starting());
    power(RadioState::poweredOn);
    EXPECT_EQ(publications(), 3u);
    EXPECT_EQ(device.logSink().count("host: peripheral manager state "), 5u);
}

} // namespace
} // namespace transport_test
} // namespace merriphonic
