#include "transport/host_peripheral.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "core/json_parser.h"
#include "core/json_writer.h"
#include "core/sync_protocol.h"
#include "core/utf8.h"
#include "fake_radio.h"
#include "platform/sim/sim_device.h"
#include "platform/sim/sim_world.h"

namespace merriphonic::transport_test {
namespace {

using Phase = HostPeripheral::Phase;
const std::optional<RadioError> ok;

class HostPeripheralTest : public ::testing::Test {
protected:
    HostPeripheralTest() {
        device.context().radio = &radio;
        peripheral->onPhase = [this](const Phase& phase) { phases.push_back(phase); };
        peripheral->onChannel = [this](auto channel) { channels.push_back(std::move(channel)); };
    }

    FakePeripheralManager& manager() { return *radio.peripheral; }
    void power(RadioState state) {
        manager().radioState = state;
        peripheral->peripheralStateChanged(state);
    }
    // The radio's answers to a whole start, with the PSM it picks.
    void runToAdvertising(uint16_t psm) {
        peripheral->channelPublished(psm, ok);
        peripheral->serviceAdded(manager().service, ok);
        peripheral->advertisingStarted(ok);
    }
    size_t publications() {
        return std::count(manager().calls.begin(), manager().calls.end(), "publish");
    }

    SimWorld world;
    SimDevice device{world, "host"};
    FakeRadio radio;
    std::shared_ptr<HostPeripheral> peripheral = HostPeripheral::create(device.context());
    std::vector<Phase> phases;
    std::vector<std::shared_ptr<L2capChannel>> channels;
};

// The PSM little-endian and the info as JSON; a reader gets at most 512 bytes of the record, so
// a longer name is cut to the longest run of whole characters that keeps the record whole.
TEST(HostPeripheralContract, ServiceCarriesThePsmAndTheInfoCutToFit) {
    const std::string info = R"({"v":1,"name":"Ann's \"party\"","platform":"linux"})";
    EXPECT_EQ(HostPeripheral::service(300, "Ann's \"party\""),
              (GattServiceSpec{std::string(SyncProtocol::serviceUuid),
                               true,
                               {{std::string(SyncProtocol::psmCharacteristicUuid), Bytes{44, 1}},
                                {std::string(SyncProtocol::infoCharacteristicUuid),
                                 Bytes(info.begin(), info.end())}}}));
    for (const std::string unit : {"ab", "\xC3\xA9\xE2\x82\xAC", "\"\x01"}) {
        std::string name;
        while (name.size() < 700) {
            name += unit;
        }
        const Bytes value = HostPeripheral::infoValue(name);
        ASSERT_LE(value.size(), HostPeripheral::maxInfoBytes);
        const JsonValue info = JsonParser::parse(value);
        const std::string* kept = info["name"]->stringValue();
        ASSERT_NE(kept, nullptr);
        EXPECT_TRUE(name.starts_with(*kept));
        EXPECT_TRUE(utf8::isWellFormed(*kept));
        // One more character would not have fitted.
        const size_t next = kept->size() + utf8::sequenceAt(name, kept->size()).length;
        const JsonObject longer{{"v", JsonValue::integer(1)},
                                {"name", JsonValue::string(name.substr(0, next))},
                                {"platform", JsonValue::string("linux")}};
        EXPECT_GT(JsonWriter::data(JsonValue::object(longer)).size(), HostPeripheral::maxInfoBytes);
    }
}

TEST_F(HostPeripheralTest, StartPublishesAdvertisesAndHandsOverChannelsAndStopUndoesIt) {
    peripheral->stop(); // before any start: nothing, not even a manager
    EXPECT_EQ(radio.managersMade, 0);
    peripheral->start("Kitchen");
    EXPECT_TRUE(manager().calls.empty()) << "nothing happens before the radio is on";
    power(RadioState::poweredOn);
    runToAdvertising(129);
    EXPECT_EQ(manager().service, HostPeripheral::service(129, "Kitchen"));
    auto channel = std::make_shared<L2capChannel>(L2capChannel{"PEER-1", {}});
    peripheral->channelOpened(channel, ok);
    peripheral->channelOpened(nullptr, RadioError{"Busy"});
    EXPECT_EQ(channels, (std::vector{channel}));
    peripheral->stop();
    peripheral->channelUnpublished(129, ok);
    peripheral->start("Kitchen"); // the manager is kept, and on: it publishes at once
    EXPECT_EQ(radio.managersMade, 1);
    EXPECT_EQ(manager().calls,
              (Calls{"publish", "removeAllServices", "addService",
                     "startAdvertising Kitchen " + std::string(SyncProtocol::serviceUuid),
                     "stopAdvertising", "removeAllServices", "unpublish 129", "publish"}));
    EXPECT_EQ(phases, (std::vector{Phase::starting(), Phase::advertising(), Phase::idle(),
                                   Phase::starting()}));
}

TEST_F(HostPeripheralTest, EachRadioFailureEndsInItsSentenceOnce) {
    const std::vector<std::string> cases{"Couldn't open a Bluetooth channel: No resources",
                                         "Couldn't start the Bluetooth service: No resources",
                                         "Couldn't advertise: No resources"};
    const RadioError error{"No resources"};
    for (size_t step = 0; step < cases.size(); ++step) {
        SCOPED_TRACE(cases[step]);
        peripheral->stop();
        phases.clear();
        peripheral->start("Kitchen");
        power(RadioState::poweredOn);
        for (int twice = 0; twice < 2; ++twice) {
            peripheral->channelPublished(129, step == 0 ? std::optional(error) : ok);
            if (step > 0) {
                peripheral->serviceAdded(manager().service, step == 1 ? std::optional(error) : ok);
            }
            if (step > 1) {
                peripheral->advertisingStarted(error);
            }
        }
        EXPECT_EQ(phases, (std::vector{Phase::starting(), Phase::failed(cases[step])}));
    }
}

TEST_F(HostPeripheralTest, AnswersArrivingAfterStopUndoWhatTheyWouldSetUp) {
    peripheral->start("Kitchen");
    power(RadioState::poweredOn);
    peripheral->stop();
    manager().calls.clear();
    peripheral->channelPublished(129, ok);
    EXPECT_EQ(manager().calls, (Calls{"unpublish 129"})) << "no service for a stopped host";

    peripheral->start("Kitchen");
    peripheral->channelPublished(130, ok);
    peripheral->stop();
    manager().calls.clear();
    peripheral->serviceAdded(manager().service, ok);
    EXPECT_TRUE(manager().calls.empty()) << "no advertising for a stopped host";

    peripheral->start("Kitchen");
    peripheral->channelPublished(131, ok);
    peripheral->serviceAdded(manager().service, ok);
    peripheral->stop();
    manager().advertising = true; // this radio reports advertising only once it has begun
    manager().calls.clear();
    peripheral->advertisingStarted(ok);
    peripheral->channelPublished(0, RadioError{"late"});
    EXPECT_EQ(manager().calls, (Calls{"stopAdvertising"}));
    EXPECT_EQ(peripheral->phase(), Phase::idle());
}

TEST_F(HostPeripheralTest, PublishesOneChannelAtATimeAndAfreshAfterAPowerCycle) {
    peripheral->start("Kitchen");
    power(RadioState::poweredOn);
    peripheral->start("Kitchen"); // the publication is still on its way
    runToAdvertising(129);
    peripheral->start("Den"); // a new name is advertised on the same channel
    EXPECT_EQ(publications(), 1u);
    EXPECT_EQ(manager().service, HostPeripheral::service(129, "Den"));

    size_t calls = manager().calls.size();
    power(RadioState::poweredOff);
    EXPECT_FALSE(peripheral->psm());
    EXPECT_EQ(peripheral->phase(), Phase::starting());
    EXPECT_EQ(manager().calls.size(), calls);
    power(RadioState::poweredOn);
    peripheral->channelPublished(130, ok);
    EXPECT_EQ(manager().service, HostPeripheral::service(130, "Den"));
    // The late answer for the old PSM's service must not start advertising.
    calls = manager().calls.size();
    peripheral->serviceAdded(HostPeripheral::service(129, "Den"), ok);
    EXPECT_EQ(manager().calls.size(), calls);

    // A cycle after a failure returns to starting too, and publishes afresh.
    peripheral->serviceAdded(manager().service, ok);
    peripheral->advertisingStarted(RadioError{"Busy"});
    power(RadioState::unauthorized);
    EXPECT_EQ(peripheral->phase(), Phase::starting());
    power(RadioState::poweredOn);
    EXPECT_EQ(publications(), 3u);
}

} // namespace
} // namespace merriphonic::transport_test
