#include "platform/sim/sim_radio.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <string>
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
std::vector<int64_t> saturate(const SimRadioModel& model, int links, int64_t durationNs) {
    SimAirtime airtime(model);
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
}

} // namespace
} // namespace merriphonic::radio_test
