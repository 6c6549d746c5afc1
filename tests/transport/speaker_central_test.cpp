#include "transport/speaker_central.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "core/sync_protocol.h"
#include "core/time_units.h"
#include "fake_radio.h"
#include "platform/sim/sim_device.h"
#include "platform/sim/sim_link.h"
#include "platform/sim/sim_world.h"

namespace merriphonic::transport_test {
namespace {

const std::optional<RadioError> ok;
const std::string service(SyncProtocol::serviceUuid);
const std::string psmUuid(SyncProtocol::psmCharacteristicUuid);
const std::string infoUuid(SyncProtocol::infoCharacteristicUuid);

Bytes bytes(std::string_view text) {
    return {text.begin(), text.end()};
}

// Members are public: the scripted cases below reach them through a reference.
class SpeakerCentralTest : public ::testing::Test {
public:
    SpeakerCentralTest() {
        device.context().radio = &radio;
        makeCentral();
    }

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

    SimWorld world;
    SimDevice device{world, "spk1"};
    FakeRadio radio;
    std::shared_ptr<FakePeripheral> host;
    std::shared_ptr<SpeakerCentral> central;
    std::vector<DiscoveredHost> discovered;
    std::vector<std::pair<std::shared_ptr<L2capChannel>, std::optional<std::string>>> joins;
    Calls failures;
    Calls disconnects;
};

TEST(DiscoveredHostName, IsTrimmedOfUnicodeSpaceOrDefaulted) {
    EXPECT_EQ(DiscoveredHost::displayName("\xC2\xA0"
                                          "Ann's  party\xE3\x80\x80\t"),
              "Ann's  party");
    EXPECT_EQ(DiscoveredHost::displayName(" \r\n\xE2\x80\xA8 "), "Merriphonic host");
    EXPECT_EQ(DiscoveredHost::displayName(std::nullopt), "Merriphonic host");
    EXPECT_EQ(DiscoveredHost::displayName("\xC2\xA9 K"), "\xC2\xA9 K"); // not white space
}

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

TEST_F(SpeakerCentralTest, ScanAndAJoinChosenWhileOffStartWithThePower) {
    central->startScan();
    central->connect("HOST-1");
    manager().known = {host};
    EXPECT_TRUE(manager().calls.empty()) << "nothing before the radio is on";
    power(RadioState::poweredOn);
    EXPECT_EQ(manager().calls.back(), "connect HOST-1") << "found by the radio's memory";
    central->disconnect();
    central->startScan();
    power(RadioState::poweredOff);
    power(RadioState::poweredOn);
    EXPECT_EQ(std::count(manager().calls.begin(), manager().calls.end(), manager().calls[0]), 3);
    EXPECT_EQ(manager().calls[0], "scan " + service + " duplicates");
}

TEST_F(SpeakerCentralTest, CallsForAnotherPeripheralChangeNothing) {
    auto other = std::make_shared<FakePeripheral>("OTHER");
    joinUpToReads();
    central->connect("GONE");
    EXPECT_EQ(failures, (Calls{"That party is no longer nearby."}));
    const Calls hostCalls = host->calls;
    central->peripheralConnected(other);
    central->servicesDiscovered(other, ok);
    central->valueUpdated(other, psmUuid, Bytes{0x81, 0}, ok);
    central->peripheralFailedToConnect(other, RadioError{"x"});
    central->peripheralDisconnected(other, RadioError{"x"});
    // A channel nobody asked for is closed, so its host is not left waiting.
    SimLink link(world, device.streams(), device.streams());
    bool hostSawEnd = false;
    link.sideB().input->setEventHandler([&](StreamEvent e) { hostSawEnd = e == StreamEvent::end; });
    link.sideB().input->open();
    central->channelOpened(other, std::make_shared<L2capChannel>(L2capChannel{"O", link.sideA()}),
                           ok);
    world.runFor(nsPerSecond);
    EXPECT_TRUE(hostSawEnd);
    EXPECT_TRUE(other->calls.empty());
    EXPECT_EQ(host->calls, hostCalls);
    EXPECT_TRUE(joins.empty());
    EXPECT_EQ(central->targetId(), "HOST-1");
    // Only the host joined can end the join.
    EXPECT_EQ(failures.size(), 1u);
    central->peripheralDisconnected(host, RadioError{"Connection timed out"});
    EXPECT_EQ(failures.back(), "Disconnected while connecting: Connection timed out");
}

TEST_F(SpeakerCentralTest, InfoProblemsNeverFailTheJoin) {
    for (const auto& info :
         {std::optional(bytes("not json")), std::optional(bytes(R"({"name":7})")), {}}) {
        makeCentral();
        joinUpToReads();
        central->valueUpdated(host, infoUuid, info, info ? ok : RadioError{"x"});
        central->valueUpdated(host, psmUuid, Bytes{0x2C, 0x01}, ok);
        EXPECT_EQ(host->calls.back(), "open 300");
        central->channelOpened(host, std::make_shared<L2capChannel>(), ok);
        ASSERT_EQ(joins.size(), 1u);
        EXPECT_FALSE(joins[0].second);
    }
    // A host without an info characteristic is joined under its advertised name.
    makeCentral();
    host->characteristicList = {psmUuid};
    joinUpToReads();
    central->valueUpdated(host, psmUuid, Bytes{0x81, 0x00}, ok);
    EXPECT_EQ(host->calls.back(), "open 129");
}

} // namespace
} // namespace merriphonic::transport_test
