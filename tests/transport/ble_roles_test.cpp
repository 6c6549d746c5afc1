// The two radio roles, the host's peripheral and the speaker's central, on a radio whose part the
// test plays.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "core/json_parser.h"
#include "core/json_writer.h"
#include "core/sync_protocol.h"
#include "core/time_units.h"
#include "core/utf8.h"
#include "fake_radio.h"
#include "platform/sim/sim_device.h"
#include "platform/sim/sim_world.h"
#include "transport/host_peripheral.h"
#include "transport/speaker_central.h"

namespace merriphonic::transport_test {
namespace {

const std::optional<RadioError> ok;

class RadioTest : public ::testing::Test {
public:
    RadioTest() { device.context().radio = &radio; }

    SimWorld world;
    SimDevice device{world, "device"};
    FakeRadio radio;
};

using Phase = HostPeripheral::Phase;

class HostPeripheralTest : public RadioTest {
protected:
    HostPeripheralTest() {
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
    peripheral->start("Kitchen");
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

TEST_F(HostPeripheralTest, PublishesOneChannelAtATime) {
    peripheral->start("Kitchen");
    power(RadioState::poweredOn);
    peripheral->start("Kitchen"); // the publication is still on its way
    runToAdvertising(129);
    peripheral->start("Den"); // a new name is advertised on the same channel
    EXPECT_EQ(publications(), 1u);
    EXPECT_EQ(manager().service, HostPeripheral::service(129, "Den"));
}

const std::string service(SyncProtocol::serviceUuid);
const std::string psmUuid(SyncProtocol::psmCharacteristicUuid);
const std::string infoUuid(SyncProtocol::infoCharacteristicUuid);

Bytes bytes(std::string_view text) {
    return {text.begin(), text.end()};
}

// Members are public: the scripted cases below reach them through a reference.
class SpeakerCentralTest : public RadioTest {
public:
    SpeakerCentralTest() { makeCentral(); }

    void makeCentral() {
        host = std::make_shared<FakePeripheral>("HOST-1");
        host->serviceList = {service};
        host->characteristicList = {psmUuid, infoUuid};
        central = SpeakerCentral::create(device.context());
        failures.clear();
        joins.clear();
        central->onDiscovered = [this](const DiscoveredHost& h) { discovered.push_back(h); };
        central->onChannel = [this](auto channel, const std::optional<std::string>& name) {
            joins.emplace_back(std::move(channel), name);
        };
        central->onConnectFailed = [this](const std::string& s) { failures.push_back(s); };
        central->onDisconnected = [this](const std::string& s) { disconnects.push_back(s); };
    }
    FakeCentralManager& manager() { return *radio.central; }
    void power(RadioState state) {
        manager().radioState = state;
        central->centralStateChanged(state);
    }
    // Scans, sees the host and joins it up to the two reads.
    void joinUpToReads() {
        central->startScan();
        power(RadioState::poweredOn);
        central->peripheralDiscovered(host, Advertisement{"  Kitchen \n", {service}}, 127);
        central->connect("HOST-1");
        central->peripheralConnected(host);
        central->servicesDiscovered(host, ok);
        central->characteristicsDiscovered(host, service, ok);
    }
    void readBoth() {
        central->valueUpdated(host, psmUuid, Bytes{0x81, 0x00}, ok);
        central->valueUpdated(host, infoUuid, bytes(R"({"v":1,"name":"Kitchen party"})"), ok);
    }

    std::shared_ptr<FakePeripheral> host;
    std::shared_ptr<SpeakerCentral> central;
    std::vector<DiscoveredHost> discovered;
    std::vector<std::pair<std::shared_ptr<L2capChannel>, std::optional<std::string>>> joins;
    Calls failures;
    Calls disconnects;
};

TEST_F(SpeakerCentralTest, JoinReadsBothCharacteristicsThenOpensTheChannelOnce) {
    world.runFor(2 * nsPerSecond);
    joinUpToReads();
    EXPECT_EQ(discovered,
              (std::vector<DiscoveredHost>{{"HOST-1", "Kitchen", -100, 2 * nsPerSecond}}));
    EXPECT_EQ(manager().calls,
              (Calls{"scan " + service + " duplicates", "stopScan", "connect HOST-1"}));
    EXPECT_EQ(host->calls,
              (Calls{"discoverServices " + service,
                     "discoverCharacteristics " + psmUuid + "," + infoUuid + " of " + service,
                     "read " + psmUuid, "read " + infoUuid}));
    // The PSM first (extra bytes ignored): the channel waits for the info.
    central->valueUpdated(host, psmUuid, Bytes{0x81, 0x00, 0x7F}, ok);
    EXPECT_EQ(host->calls.size(), 4u);
    readBoth();
    EXPECT_EQ(std::count(host->calls.begin(), host->calls.end(), "open 129"), 1);

    auto channel = std::make_shared<L2capChannel>(L2capChannel{"HOST-1", {}});
    central->channelOpened(host, channel, ok);
    EXPECT_EQ(joins, (decltype(joins){{channel, "Kitchen party"}}));

    // The deadline went with the channel's opening; a later drop is a disconnection.
    world.runFor(30 * nsPerSecond);
    central->peripheralDisconnected(host, std::nullopt);
    central->peripheralDisconnected(host, RadioError{"Link lost"}); // no longer the target
    EXPECT_TRUE(failures.empty());
    EXPECT_EQ(disconnects, (Calls{"Disconnected"}));
}

TEST_F(SpeakerCentralTest, EveryFailedStepEndsTheJoinWithItsSentence) {
    struct Case {
        std::string sentence;
        std::function<void(SpeakerCentralTest&)> step; // after the characteristics were found
    };
    const std::vector<Case> cases{
        {"Couldn't connect: Page timeout",
         [](auto& t) { t.central->peripheralFailedToConnect(t.host, RadioError{"Page timeout"}); }},
        {"Couldn't connect: unknown error",
         [](auto& t) { t.central->peripheralFailedToConnect(t.host, std::nullopt); }},
        {"This device isn't hosting a Merriphonic party.",
         [](auto& t) {
             t.host->serviceList = {"180A"};
             t.central->servicesDiscovered(t.host, ok);
         }},
        {"Host is missing its channel info.",
         [](auto& t) {
             t.host->characteristicList = {infoUuid};
             t.central->characteristicsDiscovered(t.host, service, ok);
         }},
        {"Couldn't read the host's channel number.",
         [](auto& t) { t.central->valueUpdated(t.host, psmUuid, Bytes{0x81}, ok); }},
        {"Couldn't open the audio channel: Connection refused",
         [](auto& t) {
             t.readBoth();
             t.central->channelOpened(t.host, nullptr, RadioError{"Connection refused"});
         }},
        {"Couldn't reach the host (timed out).",
         [](auto& t) {
             t.readBoth();
             t.world.runFor(15 * nsPerSecond - 1);
             EXPECT_TRUE(t.failures.empty()) << "too early";
             t.world.runFor(1);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sentence);
        makeCentral();
        joinUpToReads();
        c.step(*this);
        EXPECT_EQ(failures, (Calls{c.sentence}));
        EXPECT_EQ(manager().calls.back(), "cancel HOST-1") << "the join is abandoned";
        EXPECT_FALSE(central->targetId());
        world.runFor(20 * nsPerSecond);
        EXPECT_EQ(failures.size(), 1u) << "the deadline went with the join";
    }
}

} // namespace
} // namespace merriphonic::transport_test
