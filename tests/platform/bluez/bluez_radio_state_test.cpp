#include <gtest/gtest.h>

#include "bluez_fixture.h"

namespace merriphonic::bluez_test {
namespace {

using StateTest = BluezTest;

TEST_F(StateTest, WithoutBluezOnTheBusBothRolesAreUnsupported) {
    bluez.reset();
    auto host = std::make_shared<RecordingPeripheralDelegate>();
    auto speaker = std::make_shared<RecordingCentralDelegate>();
    auto peripheral = makePeripheral(host);
    auto central = makeCentral(speaker);

    ASSERT_TRUE(host->waitFor("state unsupported"));
    ASSERT_TRUE(speaker->waitFor("state unsupported"));
    EXPECT_EQ(peripheral->state(), RadioState::unsupported);
    EXPECT_EQ(central->state(), RadioState::unsupported);
    EXPECT_EQ(host->events.size(), 1U);
}

TEST_F(StateTest, AccessDeniedByTheBusIsUnauthorized) {
    bluez->denyAccess = true;
    auto speaker = std::make_shared<RecordingCentralDelegate>();
    auto central = makeCentral(speaker);
    ASSERT_TRUE(speaker->waitFor("state unauthorized"));
    EXPECT_EQ(central->state(), RadioState::unauthorized);
}

TEST_F(StateTest, FollowsAdaptersComingGoingAndPowering) {
    auto host = std::make_shared<RecordingPeripheralDelegate>();
    auto peripheral = makePeripheral(host);
    ASSERT_TRUE(host->waitFor("state unsupported")); // no adapter yet

    const QString hci0 = bluez->addAdapter(QStringLiteral("hci0"), hostAddress, false);
    ASSERT_TRUE(host->waitFor("state off"));
    bluez->setPowered(hci0, true);
    ASSERT_TRUE(host->waitFor("state on"));
    EXPECT_EQ(peripheral->state(), RadioState::poweredOn);
    bluez->setPowered(hci0, false);
    ASSERT_TRUE(runUntil([&] { return host->count("state off") == 2; }));
    bluez->removeObject(hci0);
    ASSERT_TRUE(runUntil([&] { return host->count("state unsupported") == 2; }));

    EXPECT_EQ(host->events, (std::vector<std::string>{"state unsupported", "state off", "state on",
                                                      "state off", "state unsupported"}));
}

TEST_F(StateTest, BluezRestartingIsSeenAsGoneThenBack) {
    bluez->addAdapter(QStringLiteral("hci0"), hostAddress, true);
    auto speaker = std::make_shared<RecordingCentralDelegate>();
    auto central = makeCentral(speaker);
    ASSERT_TRUE(speaker->waitFor("state on"));

    bluez.reset();
    ASSERT_TRUE(speaker->waitFor("state unsupported"));
    bluez = std::make_unique<FakeBluez>();
    bluez->addAdapter(QStringLiteral("hci0"), hostAddress, true);
    ASSERT_TRUE(runUntil([&] { return speaker->count("state on") == 2; }));
}

TEST_F(StateTest, PicksTheNamedAdapterElseTheFirstPoweredOne) {
    bluez->addAdapter(QStringLiteral("hci0"), hostAddress, false);
    bluez->addAdapter(QStringLiteral("hci1"), speakerAddress, true);

    auto any = std::make_shared<RecordingCentralDelegate>();
    auto named = std::make_shared<RecordingCentralDelegate>();
    auto missing = std::make_shared<RecordingCentralDelegate>();
    auto anyCentral = makeCentral(any);
    auto namedCentral = makeCentral(named, "hci0");
    auto missingCentral = makeCentral(missing, "hci7");
    ASSERT_TRUE(any->waitFor("state on"));
    ASSERT_TRUE(named->waitFor("state off"));
    ASSERT_TRUE(missing->waitFor("state unsupported"));

    // The first powered adapter is the one scanned on.
    anyCentral->scan({serviceUuid}, true);
    ASSERT_TRUE(
        runUntil([&] { return !bluez->callsTo(QStringLiteral("StartDiscovery")).empty(); }));
    EXPECT_EQ(bluez->callsTo(QStringLiteral("StartDiscovery")).front().path,
              QStringLiteral("/org/bluez/hci1"));
}

} // namespace
} // namespace merriphonic::bluez_test
