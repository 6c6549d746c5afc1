#include "transport/speaker_central.h"

#include <gtest/gtest.h>

#include <functional>

#include "core/sync_protocol.h"
#include "fake_radio.h"
#include "platform/sim/sim_device.h"
#include "platform/sim/sim_link.h"
#include "platform/sim/sim_world.h"

namespace merriphonic::transport_test {
namespace {

constexpr int64_t sec = 1'000'000'000;
using Calls = std::vector<std::string>;
const std::optional<RadioError> ok;
const std::string service(SyncProtocol::serviceUUID);
const std::string psmUuid(SyncProtocol::psmCharacteristicUUID);
const std::string infoUuid(SyncProtocol::infoCharacteristicUUID);

Bytes bytes(std::string_view text) {
    return {text.begin(), text.end()};
}

bool contains(const Calls& calls, const std::string& call) {
    return std::find(calls.begin(), calls.end(), call) != calls.end();
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
        host->characteristicLists[service] = {psmUuid, infoUuid};
        central = SpeakerCentral::create(device.context());
        failures.clear();
        disconnects.clear();
        joins.clear();
        central->onState = [this](RadioState state) { states.push_back(state); };
        central->onDiscovered = [this](const DiscoveredHost& h) { discovered.push_back(h); };
        central->onChannel = [this](std::shared_ptr<L2capChannel> channel,
                                    const std::optional<std::string>& name) {
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
    void advertise(const std::shared_ptr<FakePeripheral>& peripheral,
                   std::optional<std::string> name = "Kitchen", int rssi = -60) {
        central->peripheralDiscovered(peripheral, Advertisement{std::move(name), {service}}, rssi);
    }
    // Scans, sees the host and joins it up to the two reads.
    void joinUpToReads() {
        central->startScan();
        power(RadioState::poweredOn);
        advertise(host);
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
    std::vector<RadioState> states;
    std::vector<DiscoveredHost> discovered;
    std::vector<std::pair<std::shared_ptr<L2capChannel>, std::optional<std::string>>> joins;
    Calls failures;
    Calls disconnects;
};

TEST(DiscoveredHostName, IsTrimmedOrDefaulted) {
    EXPECT_EQ(DiscoveredHost::displayName("  Kitchen \n"), "Kitchen");
    EXPECT_EQ(DiscoveredHost::displayName("\xC2\xA0"
                                          "Ann's  party"
                                          "\xE3\x80\x80\t"),
              "Ann's  party");
    EXPECT_EQ(DiscoveredHost::displayName(std::nullopt), "Merriphonic host");
    EXPECT_EQ(DiscoveredHost::displayName(" \r\n\xE2\x80\xA8 "), "Merriphonic host");
    // A multi-byte character that is not white space stays.
    EXPECT_EQ(DiscoveredHost::displayName("\xC2\xA9 K"), "\xC2\xA9 K");
}

TEST_F(SpeakerCentralTest, ScanReportsEveryAdvertisementAndSurvivesPowerCycles) {
    central->startScan();
    EXPECT_TRUE(manager().calls.empty()) << "no scan before the radio is on";
    power(RadioState::poweredOn);
    world.runFor(2 * sec);
    advertise(host, "  Kitchen \n", -61);
    advertise(host, std::nullopt, 127);
    EXPECT_EQ(discovered,
              (std::vector<DiscoveredHost>{{"HOST-1", "Kitchen", -61, 2 * sec},
                                           {"HOST-1", "Merriphonic host", -100, 2 * sec}}));
    power(RadioState::poweredOff);
    manager().scanning = false;
    power(RadioState::poweredOn);
    const Calls scans(2, "scan " + service + " duplicates");
    EXPECT_EQ(manager().calls, scans);
    EXPECT_EQ(device.logSink().count("speaker: central state "), 3u);

    central->stopScan();
    EXPECT_FALSE(manager().scanning);
    power(RadioState::poweredOn);
    EXPECT_FALSE(manager().scanning) << "a stopped scan stays stopped";
}

TEST_F(SpeakerCentralTest, JoinReadsBothCharacteristicsThenOpensTheChannelOnce) {
    joinUpToReads();
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
    ASSERT_EQ(joins.size(), 1u);
    EXPECT_EQ(joins[0].first, channel);
    EXPECT_EQ(joins[0].second, "Kitchen party");

    // The deadline went with the channel's opening; a later drop is a disconnection.
    world.runFor(30 * sec);
    central->peripheralDisconnected(host, RadioError{"Link lost"});
    central->peripheralDisconnected(host, std::nullopt); // no longer the target
    EXPECT_TRUE(failures.empty());
    EXPECT_EQ(disconnects, (Calls{"Link lost"}));
    EXPECT_EQ(device.logSink().messages(), (Calls{
                                               "speaker: central state on",
                                               "speaker: scanning for Merriphonic hosts",
                                               "speaker: connecting to HOST-1",
                                               "speaker: GATT connected, discovering service",
                                               "speaker: host PSM 129",
                                               "speaker: host PSM 129",
                                               "speaker: opening L2CAP channel to PSM 129",
                                               "speaker: L2CAP channel open",
                                               "speaker: GATT disconnected: Link lost",
                                           }));
}

TEST_F(SpeakerCentralTest, EveryFailedStepEndsTheJoinWithItsSentence) {
    using Step = std::function<void(SpeakerCentralTest&)>;
    struct Case {
        std::string sentence;
        std::string logLine; // empty when the step logs no error of its own
        Step step;           // after the characteristics were found
    };
    const std::vector<Case> cases{
        {"Couldn't connect: Page timeout", "speaker: connect failed: Page timeout",
         [](auto& t) { t.central->peripheralFailedToConnect(t.host, RadioError{"Page timeout"}); }},
        {"Couldn't connect: unknown error", "speaker: connect failed: -",
         [](auto& t) { t.central->peripheralFailedToConnect(t.host, std::nullopt); }},
        {"This device isn't hosting a Merriphonic party.", "",
         [](auto& t) {
             t.host->serviceList = {"180A"};
             t.central->servicesDiscovered(t.host, ok);
         }},
        {"This device isn't hosting a Merriphonic party.", "",
         [](auto& t) { t.central->servicesDiscovered(t.host, RadioError{"x"}); }},
        {"Host is missing its channel info.", "",
         [](auto& t) {
             t.host->characteristicLists[service] = {infoUuid};
             t.central->characteristicsDiscovered(t.host, service, ok);
         }},
        {"Host is missing its channel info.", "",
         [](auto& t) { t.central->characteristicsDiscovered(t.host, service, RadioError{"x"}); }},
        {"Couldn't read the host's channel number.", "",
         [](auto& t) { t.central->valueUpdated(t.host, psmUuid, Bytes{0x81}, ok); }},
        {"Couldn't read the host's channel number.", "",
         [](auto& t) { t.central->valueUpdated(t.host, psmUuid, std::nullopt, RadioError{"x"}); }},
        {"Couldn't open the audio channel: Connection refused",
         "speaker: L2CAP open failed: Connection refused",
         [](auto& t) {
             t.readBoth();
             t.central->channelOpened(t.host, nullptr, RadioError{"Connection refused"});
         }},
        {"Couldn't open the audio channel: unknown error", "speaker: L2CAP open failed: -",
         [](auto& t) {
             t.readBoth();
             t.central->channelOpened(t.host, nullptr, std::nullopt);
         }},
        {"Couldn't reach the host (timed out).", "speaker: connect timeout",
         [](auto& t) {
             t.readBoth();
             t.world.runFor(15 * sec - 1);
             EXPECT_TRUE(t.failures.empty()) << "too early";
             t.world.runFor(1);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sentence);
        makeCentral();
        device.logSink().clear();
        joinUpToReads();
        c.step(*this);
        EXPECT_EQ(failures, (Calls{c.sentence}));
        EXPECT_TRUE(contains(manager().calls, "cancel HOST-1")) << "the join is abandoned";
        EXPECT_FALSE(central->targetId());
        EXPECT_TRUE(c.logLine.empty() || device.logSink().contains(c.logLine));
        world.runFor(20 * sec);
        EXPECT_EQ(failures.size(), 1u) << "the deadline went with the join";
    }
}

TEST_F(SpeakerCentralTest, GattDropBeforeTheChannelFailsTheJoin) {
    joinUpToReads();
    central->peripheralDisconnected(host, RadioError{"Connection timed out"});
    EXPECT_EQ(failures, (Calls{"Disconnected while connecting: Connection timed out"}));
    EXPECT_TRUE(device.logSink().contains("speaker: GATT disconnected: Connection timed out"));

    makeCentral();
    joinUpToReads();
    central->peripheralDisconnected(host, std::nullopt);
    world.runFor(20 * sec);
    EXPECT_EQ(failures, (Calls{"Disconnected while connecting: unknown"}));

    makeCentral();
    joinUpToReads();
    readBoth();
    central->channelOpened(host, std::make_shared<L2capChannel>(), ok);
    central->peripheralDisconnected(host, std::nullopt);
    EXPECT_EQ(disconnects, (Calls{"Disconnected"}));
    EXPECT_TRUE(failures.empty());
}

TEST_F(SpeakerCentralTest, ChoosingAHostThatIsGoneOrNotYetReachable) {
    central->startScan();
    power(RadioState::poweredOn);
    central->connect("GONE");
    EXPECT_EQ(failures, (Calls{"That party is no longer nearby."}));
    EXPECT_TRUE(central->wantScan()) << "a failed lookup leaves the scan running";

    // Chosen while Bluetooth is off: joined when it comes on, found by the radio's memory.
    makeCentral();
    central->connect("HOST-1");
    manager().known = {host};
    power(RadioState::poweredOff);
    EXPECT_TRUE(manager().calls.empty());
    power(RadioState::poweredOn);
    EXPECT_EQ(manager().calls.back(), "connect HOST-1");
    EXPECT_FALSE(central->pendingConnect());

    // disconnect() forgets a join still waiting for power.
    power(RadioState::poweredOff);
    central->connect("HOST-1");
    central->disconnect();
    const size_t calls = manager().calls.size();
    power(RadioState::poweredOn);
    EXPECT_EQ(manager().calls.size(), calls);
}

TEST_F(SpeakerCentralTest, CallsForAnotherPeripheralChangeNothing) {
    auto other = std::make_shared<FakePeripheral>("OTHER");
    joinUpToReads();
    advertise(other);
    const Calls hostCalls = host->calls;
    central->peripheralConnected(other);
    central->servicesDiscovered(other, ok);
    central->characteristicsDiscovered(other, service, ok);
    central->valueUpdated(other, psmUuid, Bytes{0x81, 0}, ok);
    central->valueUpdated(other, infoUuid, bytes(R"({"name":"x"})"), ok);
    central->peripheralFailedToConnect(other, RadioError{"x"});
    central->peripheralDisconnected(other, RadioError{"x"});

    // A channel nobody asked for is closed, so its host is not left waiting.
    SimLink link(world, device.streams(), device.streams());
    StreamPair hostSide = link.sideB();
    bool hostSawEnd = false;
    hostSide.input->setEventHandler(
        [&hostSawEnd](StreamEvent event) { hostSawEnd = event == StreamEvent::end; });
    hostSide.input->open();
    central->channelOpened(other, std::make_shared<L2capChannel>(L2capChannel{"O", link.sideA()}),
                           ok);
    world.runFor(sec);
    EXPECT_TRUE(hostSawEnd);

    EXPECT_TRUE(other->calls.empty());
    EXPECT_EQ(host->calls, hostCalls);
    EXPECT_TRUE(failures.empty());
    EXPECT_TRUE(joins.empty());
    EXPECT_EQ(central->targetId(), "HOST-1");
    EXPECT_FALSE(central->psm());
}

TEST_F(SpeakerCentralTest, InfoProblemsNeverFailTheJoin) {
    const std::vector<std::optional<Bytes>> values{
        bytes("not json"),      bytes(R"({"v":1})"),  bytes(R"({"name":""})"),
        bytes(R"({"name":7})"), bytes(R"(["name"])"), std::nullopt,
    };
    for (const auto& value : values) {
        makeCentral();
        joinUpToReads();
        central->valueUpdated(host, infoUuid, value, value ? ok : RadioError{"x"});
        central->valueUpdated(host, psmUuid, Bytes{0x2C, 0x01}, ok);
        EXPECT_EQ(host->calls.back(), "open 300");
        central->channelOpened(host, std::make_shared<L2capChannel>(), ok);
        ASSERT_EQ(joins.size(), 1u);
        EXPECT_FALSE(joins[0].second);
    }
    // A host without an info characteristic is joined under its advertised name.
    makeCentral();
    host->characteristicLists[service] = {psmUuid};
    joinUpToReads();
    central->valueUpdated(host, psmUuid, Bytes{0x81, 0x00}, ok);
    EXPECT_FALSE(contains(host->calls, "read " + infoUuid));
    EXPECT_EQ(host->calls.back(), "open 129");
}

} // namespace
} // namespace merriphonic::transport_test
