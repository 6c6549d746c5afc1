#include "platform/sim/sim_radio.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "platform/sim/sim_air.h"
#include "platform/sim/sim_airtime.h"
#include "platform/sim/sim_device.h"
#include "platform/sim/sim_world.h"

namespace merriphonic {
namespace {

constexpr int64_t ms = 1'000'000;
constexpr int64_t sec = 1'000'000'000;
const std::string serviceUuid = "7D2EA4A0-5C3B-4F1E-9A51-3B6C2F0E1A00";

struct Sighting {
    int64_t atNs = 0;
    int rssi = 0;
    std::optional<std::string> name;
    bool operator==(const Sighting&) const = default;
};

// Records what a scan sees; the peripheral side only needs to exist.
struct Listener final : CentralManagerDelegate, PeripheralManagerDelegate {
    explicit Listener(SimWorld& w) : world(w) {}
    void peripheralDiscovered(std::shared_ptr<RemotePeripheral> p, const Advertisement& ad,
                              int rssi) override {
        seen.push_back({world.nowNs(), rssi, ad.localName});
        found = std::move(p);
    }
    void centralStateChanged(RadioState /*s*/) override {}
    void peripheralConnected(std::shared_ptr<RemotePeripheral> /*p*/) override { add("connected"); }
    void peripheralFailedToConnect(std::shared_ptr<RemotePeripheral> /*p*/,
                                   const std::optional<RadioError>& e) override {
        add("connect failed", e);
    }
    void peripheralDisconnected(std::shared_ptr<RemotePeripheral> /*p*/,
                                const std::optional<RadioError>& e) override {
        add("disconnected", e);
    }
    void servicesDiscovered(std::shared_ptr<RemotePeripheral> /*p*/,
                            const std::optional<RadioError>& /*e*/) override {}
    void characteristicsDiscovered(std::shared_ptr<RemotePeripheral> /*p*/,
                                   const std::string& /*s*/,
                                   const std::optional<RadioError>& /*e*/) override {}
    void valueUpdated(std::shared_ptr<RemotePeripheral> /*p*/, const std::string& /*c*/,
                      const std::optional<Bytes>& /*v*/,
                      const std::optional<RadioError>& /*e*/) override {}
    void channelOpened(std::shared_ptr<RemotePeripheral> /*p*/, std::shared_ptr<L2capChannel> c,
                       const std::optional<RadioError>& e) override {
        add(c ? "channel open" : "channel failed", e);
    }
    void peripheralStateChanged(RadioState s) override {
        add("host " + std::string(radioStateName(s)));
    }
    void channelPublished(uint16_t psm, const std::optional<RadioError>& /*e*/) override {
        publishedPsm = psm;
    }
    void serviceAdded(const GattServiceSpec& /*s*/,
                      const std::optional<RadioError>& /*e*/) override {}
    void advertisingStarted(const std::optional<RadioError>& /*e*/) override {}
    void channelOpened(std::shared_ptr<L2capChannel> /*c*/,
                       const std::optional<RadioError>& /*e*/) override {}
    void channelUnpublished(uint16_t /*psm*/, const std::optional<RadioError>& /*e*/) override {}

    // "what [error: text]" at the world time it happened.
    void add(const std::string& what, const std::optional<RadioError>& e = {}) {
        events.emplace_back(world.nowNs(), e ? what + ": " + e->description : what);
    }

    SimWorld& world;
    std::vector<Sighting> seen;
    std::vector<std::pair<int64_t, std::string>> events;
    std::shared_ptr<RemotePeripheral> found;
    uint16_t publishedPsm = 0;
};

// A host advertising "Kitchen" at the origin and a listener `distanceM` away.
struct Air {
    Air(uint64_t seed, double distanceM) : world(seed) {
        peripheral =
            air.attach(hostDevice, {0, 0}).makePeripheralManager(hostDevice.main(), listener);
        central = air.attach(listenerDevice, {distanceM, 0})
                      .makeCentralManager(listenerDevice.main(), listener);
        world.runFor(10 * ms);
        peripheral->startAdvertising(AdvertisingData{{serviceUuid}, "Kitchen"});
    }
    SimWorld world;
    SimAir air{world};
    SimDevice hostDevice{world, "host"};
    SimDevice listenerDevice{world, "spk1"};
    std::shared_ptr<Listener> listener = std::make_shared<Listener>(world);
    std::unique_ptr<PeripheralManager> peripheral;
    std::unique_ptr<CentralManager> central;
};

TEST(SimRadioAdvertising, ComesEveryIntervalWithTheSignalOfTheDistance) {
    Air air(11, 3.0);
    air.central->scan({serviceUuid}, true);
    air.world.runFor(30 * sec);
    const auto& seen = air.listener->seen;
    EXPECT_GT(seen.size(), 240u) << "300 advertising events, about a tenth missed";
    EXPECT_LT(seen.size(), 300u);
    double sum = 0;
    size_t regularGaps = 0;
    for (size_t i = 0; i < seen.size(); ++i) {
        EXPECT_EQ(seen[i].name, "Kitchen");
        sum += seen[i].rssi;
        if (i > 0) {
            const int64_t gap = seen[i].atNs - seen[i - 1].atNs;
            EXPECT_GE(gap, 100 * ms);
            regularGaps += gap <= 110 * ms ? 1 : 0;
        }
    }
    EXPECT_GT(regularGaps, seen.size() * 3 / 4);
    EXPECT_NEAR(sum / double(seen.size()), air.air.model().meanRssiDbm(3.0), 1.5);

    // Without duplicates, one report per scan; another scan filter hears nothing.
    air.central->scan({serviceUuid}, false);
    const size_t before = seen.size();
    air.world.runFor(3 * sec);
    EXPECT_EQ(seen.size(), before + 1);
    air.central->scan({"180A"}, true);
    air.world.runFor(sec);
    EXPECT_EQ(seen.size(), before + 1);
}

TEST(SimRadioAdvertising, IsHeardOnlyInRangeAndWhileAdvertising) {
    Air air(11, 500.0);
    air.central->scan({}, true);
    air.world.runFor(5 * sec);
    EXPECT_TRUE(air.listener->seen.empty());
    static_cast<SimRadio*>(air.listenerDevice.context().radio)->setPosition({20, 0});
    air.world.runFor(sec);
    EXPECT_FALSE(air.listener->seen.empty());
    air.peripheral->stopAdvertising();
    air.listener->seen.clear();
    air.world.runFor(2 * sec);
    EXPECT_TRUE(air.listener->seen.empty());
}

TEST(SimRadioAdvertising, TheSameSeedGivesTheSameAir) {
    const auto sightings = [](uint64_t seed) {
        Air air(seed, 5.0);
        air.central->scan({}, true);
        air.world.runFor(3 * sec);
        return air.listener->seen;
    };
    const auto first = sightings(5);
    EXPECT_EQ(first, sightings(5));
    EXPECT_NE(first, sightings(6));
}

// The faults a test can cause reach the side that would see them, with the stack's wording and
// at the time a real link would tell: refusals at once, a lost link after the supervision
// timeout, a powered-off host one connection interval later.
TEST(SimRadioFaults, RefusalsLinkLossAndPowerOffReachTheCentralWhenARealLinkWould) {
    Air air(3, 2.0);
    auto& host = *static_cast<SimRadio*>(air.hostDevice.context().radio);
    auto& speaker = *static_cast<SimRadio*>(air.listenerDevice.context().radio);
    auto& events = air.listener->events;
    air.peripheral->publishChannel(false);
    air.central->scan({serviceUuid}, false);
    air.world.runFor(sec);
    ASSERT_NE(air.listener->found, nullptr);
    ASSERT_NE(air.listener->publishedPsm, 0);
    const auto connect = [&] {
        events.clear();
        air.central->connect(air.listener->found);
        air.world.runFor(sec);
    };
    const auto last = [&] { return events.empty() ? std::string() : events.back().second; };

    host.refuseConnections("Software caused connection abort");
    connect();
    EXPECT_EQ(last(), "connect failed: Software caused connection abort");
    host.refuseConnections(std::nullopt);
    connect();
    ASSERT_EQ(last(), "connected");

    host.refuseChannels("Permission denied");
    air.listener->found->openL2capChannel(air.listener->publishedPsm);
    air.world.runFor(sec);
    EXPECT_EQ(last(), "channel failed: Permission denied");
    host.refuseChannels(std::nullopt);
    air.listener->found->openL2capChannel(air.listener->publishedPsm);
    air.world.runFor(sec);
    ASSERT_EQ(last(), "channel open");
    ASSERT_EQ(host.channels().size(), 1U);

    const int64_t lostAt = air.world.nowNs();
    speaker.loseLinkWith(host);
    air.world.runFor(sec);
    ASSERT_EQ(last(), "disconnected: Connection timed out");
    EXPECT_EQ(events.back().first - lostAt, air.air.model().supervisionTimeoutNs);

    connect();
    ASSERT_EQ(last(), "connected");
    const int64_t offAt = air.world.nowNs();
    host.setState(RadioState::poweredOff);
    air.world.runFor(sec);
    EXPECT_EQ(host.state(), RadioState::poweredOff);
    ASSERT_EQ(events.size(), 3U);
    EXPECT_EQ(events[1].second, "host off");
    EXPECT_EQ(events[2].second, "disconnected: Remote device powered off");
    EXPECT_EQ(events[2].first - offAt, air.air.model().connectionIntervalNs);
    // Nobody connects to a radio that is off, and nothing reaches the central about it.
    events.clear();
    air.central->connect(air.listener->found);
    air.world.runFor(5 * sec);
    EXPECT_TRUE(events.empty());
}

// Bytes that each of `links` links, all sending at once, gets through in `durationNs`: each
// link sends its next SDU when the previous one has arrived.
std::vector<int64_t> saturate(const SimRadioModel& model, int links, int64_t durationNs,
                              std::function<double()> uniform = {}) {
    SimAirtime airtime(model, std::move(uniform));
    const int host = airtime.addRadio();
    std::vector<int> ids(static_cast<size_t>(links));
    for (int i = 0; i < links; ++i) {
        ids[static_cast<size_t>(i)] =
            airtime.addLink(airtime.addRadio(), host, i * model.connectionIntervalNs / 8);
    }
    std::vector<int64_t> readyNs(ids.size(), 0);
    std::vector<int64_t> delivered(ids.size(), 0);
    while (true) {
        const auto next = std::min_element(readyNs.begin(), readyNs.end());
        const auto i = static_cast<size_t>(next - readyNs.begin());
        const int64_t doneNs = airtime.transmit(ids[i], *next, model.sduBytes);
        if (doneNs > durationNs) {
            return delivered;
        }
        delivered[i] += static_cast<int64_t>(model.sduBytes);
        *next = doneNs;
    }
}

TEST(SimAirtime, OneLinkIsLimitedPerEventAndLinksShareTheirRadioEvenly) {
    const SimRadioModel model;
    const double seconds = 60;
    const double sdusPerPdu = 1.0 / model.pdusFor(model.sduBytes);
    const double intervalS = double(model.connectionIntervalNs) / double(sec);
    const double alone = double(saturate(model, 1, 60 * sec)[0]) / seconds;
    const double linkLimit =
        model.maxPdusPerEvent * sdusPerPdu * double(model.sduBytes) / intervalS;
    EXPECT_NEAR(alone, linkLimit, linkLimit * 0.03);

    const auto shares = saturate(model, 7, 60 * sec);
    const double radioLimit =
        model.radioPdusPerInterval() * sdusPerPdu * double(model.sduBytes) / intervalS;
    for (const int64_t bytes : shares) {
        EXPECT_NEAR(double(bytes) / seconds, radioLimit / 7, radioLimit / 7 * 0.03);
    }
}

TEST(SimAirtime, AnSduGoesInTheLinksNextEventOrContinuesTheCurrentOne) {
    const SimRadioModel model;
    SimAirtime airtime(model);
    const int link = airtime.addLink(airtime.addRadio(), airtime.addRadio(), 5 * ms);
    const int64_t pdu = model.pduAirtimeNs;
    EXPECT_EQ(airtime.transmit(link, 6 * ms, 20), 35 * ms + pdu) << "the 5 ms event was over";
    EXPECT_EQ(airtime.transmit(link, 60 * ms, 20), 65 * ms + pdu);
    // 13 PDUs ready as the event goes on: 11 more fit in it, 2 go in the next one.
    EXPECT_EQ(airtime.transmit(link, 65 * ms + pdu, 12 * 247), 95 * ms + 2 * pdu);
}

TEST(SimAirtime, ALostExchangeIsSentAgainAndTwoInARowEndTheEvent) {
    SimRadioModel model;
    model.pduLossRatio = 0.5;
    // Draws below one half lose their exchange.
    std::vector<double> draws{0.1, 0.9, /* */ 0.1, 0.1, 0.9, /* */ 0.9, 0.1, 0.9, 0.9};
    size_t next = 0;
    SimAirtime airtime(model, [&] { return next < draws.size() ? draws[next++] : 0.9; });
    const int link = airtime.addLink(airtime.addRadio(), airtime.addRadio(), 5 * ms);
    const int64_t pdu = model.pduAirtimeNs;
    EXPECT_EQ(airtime.transmit(link, 6 * ms, 20), 35 * ms + 2 * pdu)
        << "again in the next exchange";
    EXPECT_EQ(airtime.transmit(link, 60 * ms, 20), 95 * ms + pdu) << "two lost: the next event";
    // Three PDUs, the second lost once: four exchanges.
    EXPECT_EQ(airtime.transmit(link, 120 * ms, 3 * 247 - 2), 125 * ms + 4 * pdu);
    EXPECT_EQ(next, draws.size());

    // Lost exchanges take their share of the airtime, and a little more: events that end
    // early leave exchanges unused.
    std::mt19937_64 rng(5);
    model.pduLossRatio = 0.1;
    const SimRadioModel clean;
    const double lossy = double(saturate(
        model, 1, 60 * sec, [&] { return std::uniform_real_distribution<double>(0, 1)(rng); })[0]);
    const double ratio = lossy / double(saturate(clean, 1, 60 * sec)[0]);
    EXPECT_LT(ratio, 0.9);
    EXPECT_GT(ratio, 0.8);
}

} // namespace
} // namespace merriphonic
