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

#include "core/time_units.h"
#include "platform/sim/sim_air.h"
#include "platform/sim/sim_airtime.h"
#include "platform/sim/sim_device.h"
#include "platform/sim/sim_world.h"
#include "tests/platform/radio_contract.h"

namespace merriphonic::radio_test {
namespace {

// A host at the origin and a speaker `distanceM` away on one simulated air.
struct SimRadios {
    static constexpr bool canPowerCycle = true;

    explicit SimRadios(uint64_t seed = 7, double distanceM = 2.0)
        : world(seed), hostRadio(air.attach(hostDevice, {0, 0})),
          speakerRadio(air.attach(speakerDevice, {distanceM, 0})) {}

    void makeUnusable() {
        hostRadio.setState(RadioState::poweredOff);
        speakerRadio.setState(RadioState::poweredOff);
    }
    std::unique_ptr<PeripheralManager> makeHost(const std::shared_ptr<RadioRecorder>& recorder) {
        return hostRadio.makePeripheralManager(hostDevice.main(), recorder);
    }
    std::unique_ptr<CentralManager> makeSpeaker(const std::shared_ptr<RadioRecorder>& recorder) {
        return speakerRadio.makeCentralManager(speakerDevice.main(), recorder);
    }
    bool runUntil(const std::function<bool()>& done) {
        for (const int64_t end = world.nowNs() + 60 * nsPerSecond;
             !done() && world.nowNs() < end;) {
            world.runFor(nsPerMs);
        }
        return done();
    }
    void runFor(int64_t milliseconds) { world.runFor(milliseconds * nsPerMs); }
    void setPowered(bool host, bool on) {
        (host ? hostRadio : speakerRadio)
            .setState(on ? RadioState::poweredOn : RadioState::poweredOff);
    }
    std::string speakerIdAtHost() const { return speakerRadio.identifierSeenBy(hostRadio); }
    RunLoop& streams(bool host) { return (host ? hostDevice : speakerDevice).streams(); }

    SimWorld world;
    SimAir air{world};
    SimDevice hostDevice{world, "host"};
    SimDevice speakerDevice{world, "spk1"};
    SimRadio& hostRadio;
    SimRadio& speakerRadio;
};

INSTANTIATE_TYPED_TEST_SUITE_P(Sim, RadioContract, SimRadios);

// The simulation's own behaviour, on the contract's fixture.
using SimRadioTest = RadioContract<SimRadios>;

// What a scanning speaker `distanceM` away from an advertising host hears in `seconds`: when,
// and how loud. One out of range is then moved into it, and hears the host.
std::vector<std::pair<int64_t, int>> sightings(uint64_t seed, double distanceM, int64_t seconds) {
    SimRadios radios(seed, distanceM);
    auto recorder = std::make_shared<RadioRecorder>();
    auto host = radios.makeHost(recorder);
    auto central = radios.makeSpeaker(recorder);
    radios.runFor(10);
    host->startAdvertising({{service}, "Kitchen"});
    central->scan({}, true);
    std::vector<std::pair<int64_t, int>> heard;
    for (const int64_t end = radios.world.nowNs() + seconds * nsPerSecond;
         radios.world.nowNs() < end;) {
        const size_t before = recorder->count(RadioEvent::Kind::discovered);
        radios.world.step();
        if (recorder->count(RadioEvent::Kind::discovered) > before) {
            heard.emplace_back(radios.world.nowNs(),
                               recorder->last(RadioEvent::Kind::discovered).rssi);
        }
    }
    if (distanceM > 100) {
        radios.speakerRadio.setPosition({20, 0});
        radios.runFor(1000);
        EXPECT_GT(recorder->count(RadioEvent::Kind::discovered), 0U) << "in range once moved";
    }
    return heard;
}

TEST(SimRadioAdvertising, ComesEveryIntervalAsLoudAsTheDistanceOnlyInRangeAndAlikeForASeed) {
    const auto heard = sightings(7, 2.0, 30);
    EXPECT_GT(heard.size(), 240U) << "300 advertising events, about a tenth missed";
    EXPECT_LT(heard.size(), 300U);
    size_t regularGaps = 0;
    double rssiSum = heard.empty() ? 0 : heard[0].second;
    for (size_t i = 1; i < heard.size(); ++i) {
        const int64_t gap = heard[i].first - heard[i - 1].first;
        EXPECT_GE(gap, 100 * nsPerMs);
        regularGaps += gap <= 110 * nsPerMs ? 1 : 0;
        rssiSum += heard[i].second;
    }
    EXPECT_GT(regularGaps, heard.size() * 3 / 4);
    EXPECT_NEAR(rssiSum / double(heard.size()), SimRadioModel().meanRssiDbm(2.0), 1.5);

    EXPECT_TRUE(sightings(11, 500.0, 3).empty());
    const auto first = sightings(5, 5.0, 3);
    EXPECT_FALSE(first.empty());
    EXPECT_EQ(first, sightings(5, 5.0, 3));
    EXPECT_NE(first, sightings(6, 5.0, 3));
}

// The faults a test can cause reach the side that would see them, with the stack's wording and
// at the time a real link would tell: refusals at once, a lost link after the supervision
// timeout, a powered-off host one connection interval later.
TEST_F(SimRadioTest, RefusalsLinkLossAndPowerOffReachTheCentralWhenARealLinkWould) {
    start();
    const uint16_t psm = advertise();
    auto peer = connect();
    ASSERT_TRUE(peer);
    speakerManager->cancelConnection(peer);
    const auto error = [&](Kind kind, const std::function<void()>& action) {
        const RadioEvent event = next(*speaker, kind, action);
        return event.error ? event.error->description : "";
    };
    radios.hostRadio.refuseConnections("Software caused connection abort");
    EXPECT_EQ(error(Kind::failedToConnect, [&] { speakerManager->connect(peer); }),
              "Software caused connection abort");
    radios.hostRadio.refuseConnections(std::nullopt);
    next(*speaker, Kind::connected, [&] { speakerManager->connect(peer); });
    radios.hostRadio.refuseChannels("Permission denied");
    EXPECT_EQ(error(Kind::channel, [&] { peer->openL2capChannel(psm); }), "Permission denied");
    radios.hostRadio.refuseChannels(std::nullopt);
    ASSERT_TRUE(next(*speaker, Kind::channel, [&] { peer->openL2capChannel(psm); }).channel);
    ASSERT_EQ(radios.hostRadio.channels().size(), 1U);

    // runUntil goes a millisecond at a time, so delays are seen rounded up to it.
    const auto after = [&](int64_t delayNs, const std::string& text,
                           const std::function<void()>& fault) {
        const int64_t startNs = radios.world.nowNs();
        EXPECT_EQ(error(Kind::disconnected, fault), text);
        EXPECT_EQ(radios.world.nowNs() - startNs, (delayNs + nsPerMs - 1) / nsPerMs * nsPerMs)
            << text;
    };
    const SimRadioModel& model = radios.air.model();
    after(model.supervisionTimeoutNs, "Connection timed out",
          [&] { radios.speakerRadio.loseLinkWith(radios.hostRadio); });
    next(*speaker, Kind::connected, [&] { speakerManager->connect(peer); });
    after(model.connectionIntervalNs, "Remote device powered off",
          [&] { radios.setPowered(true, false); });
    // Nobody connects to a radio that is off, and nothing reaches the central about it.
    const size_t events = speaker->events.size();
    speakerManager->connect(peer);
    radios.runFor(5000);
    EXPECT_EQ(speaker->events.size(), events);
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
    const double intervalS = double(model.connectionIntervalNs) / double(nsPerSecond);
    const double alone = double(saturate(model, 1, 60 * nsPerSecond)[0]) / seconds;
    const double linkLimit =
        model.maxPdusPerEvent * sdusPerPdu * double(model.sduBytes) / intervalS;
    EXPECT_NEAR(alone, linkLimit, linkLimit * 0.03);

    const auto shares = saturate(model, 7, 60 * nsPerSecond);
    const double radioLimit =
        model.radioPdusPerInterval() * sdusPerPdu * double(model.sduBytes) / intervalS;
    for (const int64_t bytes : shares) {
        EXPECT_NEAR(double(bytes) / seconds, radioLimit / 7, radioLimit / 7 * 0.03);
    }
}

TEST(SimAirtime, AnSduGoesInTheLinksNextEventOrContinuesTheCurrentOne) {
    const SimRadioModel model;
    SimAirtime airtime(model);
    const int link = airtime.addLink(airtime.addRadio(), airtime.addRadio(), 5 * nsPerMs);
    const int64_t pdu = model.pduAirtimeNs;
    EXPECT_EQ(airtime.transmit(link, 6 * nsPerMs, 20), 35 * nsPerMs + pdu)
        << "the 5 ms event was over";
    EXPECT_EQ(airtime.transmit(link, 60 * nsPerMs, 20), 65 * nsPerMs + pdu);
    // 13 PDUs ready as the event goes on: 11 more fit in it, 2 go in the next one.
    EXPECT_EQ(airtime.transmit(link, 65 * nsPerMs + pdu, 12 * 247), 95 * nsPerMs + 2 * pdu);
}

TEST(SimAirtime, ALostExchangeIsSentAgainAndTwoInARowEndTheEvent) {
    SimRadioModel model;
    model.pduLossRatio = 0.5;
    // Draws below one half lose their exchange.
    std::vector<double> draws{0.1, 0.9, /* */ 0.1, 0.1, 0.9, /* */ 0.9, 0.1, 0.9, 0.9};
    size_t next = 0;
    SimAirtime airtime(model, [&] { return next < draws.size() ? draws[next++] : 0.9; });
    const int link = airtime.addLink(airtime.addRadio(), airtime.addRadio(), 5 * nsPerMs);
    const int64_t pdu = model.pduAirtimeNs;
    EXPECT_EQ(airtime.transmit(link, 6 * nsPerMs, 20), 35 * nsPerMs + 2 * pdu)
        << "again in the next exchange";
    EXPECT_EQ(airtime.transmit(link, 60 * nsPerMs, 20), 95 * nsPerMs + pdu)
        << "two lost: the next event";
    // Three PDUs, the second lost once: four exchanges.
    EXPECT_EQ(airtime.transmit(link, 120 * nsPerMs, 3 * 247 - 2), 125 * nsPerMs + 4 * pdu);
    EXPECT_EQ(next, draws.size());

    // Lost exchanges take their share of the airtime, and a little more: events that end
    // early leave exchanges unused.
    std::mt19937_64 rng(5);
    model.pduLossRatio = 0.1;
    const SimRadioModel clean;
    const double lossy = double(saturate(model, 1, 60 * nsPerSecond, [&] {
        return std::uniform_real_distribution<double>(0, 1)(rng);
    })[0]);
    const double ratio = lossy / double(saturate(clean, 1, 60 * nsPerSecond)[0]);
    EXPECT_LT(ratio, 0.9);
    EXPECT_GT(ratio, 0.8);
}

} // namespace
} // namespace merriphonic::radio_test
