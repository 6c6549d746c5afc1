#include <QDBusMessage>

#include <gtest/gtest.h>

#include "bluez_radios.h"
#include "platform/bluez/peer_identifier.h"

namespace merriphonic::radio_test {
INSTANTIATE_TYPED_TEST_SUITE_P(Bluez, RadioContract, bluez_test::BluezRadios);
} // namespace merriphonic::radio_test

namespace merriphonic::bluez_test {
namespace {

using namespace bluez;
using radio_test::otherUuid;
using radio_test::partyService;
using radio_test::psmUuid;
using radio_test::RadioContract;
using radio_test::RadioEvent;
using radio_test::service;
using Kind = RadioEvent::Kind;

std::vector<RadioState> states(const RadioRecorder& recorder) {
    std::vector<RadioState> found;
    for (const RadioEvent& event : recorder.events) {
        if (event.kind == Kind::state) {
            found.push_back(event.state);
        }
    }
    return found;
}

// ---- the manager state follows BlueZ and its adapters ----

// A peer's identifier outlives the process, so its derivation is pinned: a version-5 UUID of the
// address pair (cross-checked with an independent implementation), whatever their case.
TEST(PeerIdentifierTest, IsAVersion5UuidOfTheAddressPair) {
    EXPECT_EQ(peerIdentifier("00:AA:01:00:00:00", "00:AA:01:01:00:01"),
              "1C8F6256-24BE-570B-8847-C5DA7B3EBD5B");
    EXPECT_EQ(peerIdentifier("00:aa:01:01:00:01", "00:aa:01:00:00:00"),
              "313FD6C9-0A27-56C6-97A0-09A32CD2E4B0");
}

TEST(BluezStateTest, FollowsBluezAndTheNamedElseTheFirstPoweredAdapter) {
    BluezRadios radios(false);
    radios.bluez->denyAccess = true;
    auto refused = std::make_shared<RadioRecorder>();
    auto refusedCentral = radios.makeSpeaker(refused, "");
    ASSERT_TRUE(radios.runUntil([&] { return refused->count(Kind::state) > 0; }));
    EXPECT_EQ(states(*refused), std::vector{RadioState::unauthorized});
    EXPECT_EQ(refusedCentral->state(), RadioState::unauthorized);
    radios.bluez->denyAccess = false;

    auto host = std::make_shared<RadioRecorder>();
    auto peripheral = radios.makeHost(host, "");
    const auto after = [&](size_t changes, const std::function<void()>& change) {
        change();
        EXPECT_TRUE(radios.runUntil([&] { return host->count(Kind::state) == changes; }));
    };
    after(1, [] {});
    QString hci0;
    after(2, [&] { hci0 = radios.bluez->addAdapter("hci0", BluezRadios::hostAddress, false); });
    after(3, [&] { radios.bluez->setPowered(hci0, true); });
    EXPECT_EQ(peripheral->state(), RadioState::poweredOn);
    after(4, [&] { radios.bluez->setPowered(hci0, false); });
    after(5, [&] { radios.bluez->removeObject(hci0); });
    after(6, [&] { radios.bluez->addAdapter("hci0", BluezRadios::hostAddress, true); });
    // BlueZ restarting: gone, then back, now with the first adapter off.
    after(7, [&] { radios.bluez.reset(); });
    after(8, [&] {
        radios.bluez = std::make_unique<FakeBluez>();
        radios.bluez->addAdapter("hci0", BluezRadios::hostAddress, false);
        radios.bluez->addAdapter("hci1", BluezRadios::speakerAddress, true);
    });
    using enum RadioState;
    EXPECT_EQ(states(*host), (std::vector{unsupported, poweredOff, poweredOn, poweredOff,
                                          unsupported, poweredOn, unsupported, poweredOn}));

    std::vector<std::shared_ptr<RadioRecorder>> recorders;
    std::vector<std::unique_ptr<CentralManager>> centrals;
    for (const char* adapter : {"", "hci0", "hci7"}) {
        recorders.push_back(std::make_shared<RadioRecorder>());
        centrals.push_back(radios.makeSpeaker(recorders.back(), adapter));
    }
    ASSERT_TRUE(radios.runUntil([&] { return recorders.back()->count(Kind::state) > 0; }));
    radios.runFor(100);
    EXPECT_EQ(states(*recorders[0]), std::vector{poweredOn});
    EXPECT_EQ(states(*recorders[1]), std::vector{poweredOff});
    EXPECT_EQ(states(*recorders[2]), std::vector{unsupported});
    centrals[0]->scan({service}, true);
    ASSERT_TRUE(radios.runUntil([&] { return radios.bluez->discovering; }));
    EXPECT_EQ(radios.bluez->callsTo("StartDiscovery"), std::vector<QString>{"/org/bluez/hci1"});
}

// ---- the peripheral role over D-Bus ----

using BluezTest = RadioContract<BluezRadios>;

TEST_F(BluezTest, TheServiceIsAnApplicationBluezReadsFromAnyOffset) {
    start();
    FakeBluez& bluez = *radios.bluez;
    next(*host, Kind::serviceAdded, [&] { hostManager->addService(partyService(300)); });
    ASSERT_TRUE(bluez.application);
    EXPECT_EQ(bluez.application->adapter, radios.hci1);
    // The service and its three characteristics.
    const bluez::ObjectMap& objects = bluez.application->objects;
    ASSERT_EQ(objects.size(), 4);
    std::map<std::string, QString> paths;
    for (auto it = std::next(objects.cbegin()); it != objects.cend(); ++it) {
        const QVariantMap characteristic = it.value().value(gattCharacteristicInterface);
        paths[characteristic.value("UUID").toString().toStdString()] = it.key();
    }
    // BlueZ's reads, with and without an offset.
    const auto read = [&](const std::string& uuid, std::optional<quint16> offset) {
        QVariantMap options;
        if (offset) {
            options.insert("offset", QVariant::fromValue(*offset));
        }
        return bluez.callClient(bluez.application->owner, paths[uuid], gattCharacteristicInterface,
                                "ReadValue", {options});
    };
    const auto value = [](const QDBusMessage& reply) {
        return reply.arguments().value(0).toByteArray();
    };
    EXPECT_EQ(value(read(psmUuid, std::nullopt)), QByteArray("\x2C\x01", 2));
    const Bytes info = partyService(300).characteristics[1].value;
    EXPECT_EQ(value(read(radio_test::infoUuid, 22)),
              QByteArray(reinterpret_cast<const char*>(&info[22]), 578));
    const QDBusMessage atTheEnd = read(radio_test::infoUuid, 600);
    EXPECT_EQ(atTheEnd.type(), QDBusMessage::ReplyMessage);
    EXPECT_TRUE(value(atTheEnd).isEmpty());
    EXPECT_EQ(read(radio_test::infoUuid, 601).errorName(), invalidOffsetError);
}

TEST_F(BluezTest, RefusedOrOvertakenRequestsLeaveNothingWithBluez) {
    start();
    FakeBluez& bluez = *radios.bluez;
    bluez.failNext("RegisterApplication", "org.bluez.Error.Failed", "Failed to register");
    bluez.failNext("RegisterAdvertisement", "org.bluez.Error.NotPermitted",
                   "Maximum advertisements reached");
    EXPECT_EQ(next(*host, Kind::serviceAdded, [&] { hostManager->addService(partyService(0x81)); })
                  .error->description,
              "Failed to register");
    EXPECT_EQ(next(*host, Kind::advertising,
                   [&] {
                       hostManager->startAdvertising({{service}, "Kitchen"});
                   })
                  .error->description,
              "Maximum advertisements reached");
    EXPECT_FALSE(hostManager->isAdvertising());

    // Withdrawn before BlueZ answered: only what is queued behind is answered and held.
    hostManager->addService(partyService(0x81));
    hostManager->startAdvertising({{service}, "Kitchen"});
    hostManager->stopAdvertising();
    hostManager->removeAllServices();
    next(*host, Kind::serviceAdded, [&] { hostManager->addService({otherUuid, true, {}}); });
    radios.runFor(100);
    EXPECT_EQ(host->count(Kind::serviceAdded), 2U);
    EXPECT_EQ(host->count(Kind::advertising), 1U);
    EXPECT_FALSE(bluez.advertisement);
    ASSERT_TRUE(bluez.application);
    EXPECT_EQ(bluez.application->objects.size(), 1);
}

TEST_F(BluezTest, PowerLossClosesTheChannelsAndWhileOffNothingIsAskedOfBluez) {
    start();
    FakeBluez& bluez = *radios.bluez;
    const uint16_t psm = advertise();
    EXPECT_EQ(radios.sockets->listens, (std::vector{LeAddress{BluezRadios::hostAddress, false}}));
    radios.setPowered(true, false);
    ASSERT_TRUE(radios.runUntil([&] { return !bluez.application && !bluez.advertisement; }));
    const auto refused = radios.sockets->connect({BluezRadios::speakerAddress, false},
                                                 {BluezRadios::hostAddress, false}, psm);
    EXPECT_FALSE(refused.ok());
    const size_t registrations = bluez.callsTo("RegisterApplication").size();
    hostManager->addService(partyService(psm));
    hostManager->startAdvertising({{service}, "Kitchen"});
    EXPECT_EQ(next(*host, Kind::published, [&] { hostManager->publishChannel(false); })
                  .error->description,
              "Bluetooth is not available");
    EXPECT_EQ(bluez.callsTo("RegisterApplication").size(), registrations);
    EXPECT_EQ(bluez.callsTo("RegisterAdvertisement").size(), 1U);
}

} // namespace
} // namespace merriphonic::bluez_test
