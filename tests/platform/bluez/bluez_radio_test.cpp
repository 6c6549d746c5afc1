#include <unistd.h>

#include <QDBusMessage>
#include <QDBusObjectPath>

#include <gtest/gtest.h>

#include <tuple>

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

QVariant rssi(int16_t value) {
    return QVariant::fromValue<qint16>(value);
}

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

TEST(BluezStateTest, FollowsBluezItsAdaptersAndTheirPower) {
    BluezRadios radios(false);
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
    // BlueZ restarting: gone, then back.
    after(7, [&] { radios.bluez.reset(); });
    after(8, [&] {
        radios.bluez = std::make_unique<FakeBluez>();
        radios.bluez->addAdapter("hci0", BluezRadios::hostAddress, true);
    });
    using enum RadioState;
    EXPECT_EQ(states(*host), (std::vector{unsupported, poweredOff, poweredOn, poweredOff,
                                          unsupported, poweredOn, unsupported, poweredOn}));
}

TEST(BluezStateTest, UnauthorizedWhenRefusedAndOnTheNamedElseTheFirstPoweredAdapter) {
    BluezRadios radios(false);
    radios.bluez->denyAccess = true;
    auto refused = std::make_shared<RadioRecorder>();
    auto refusedCentral = radios.makeSpeaker(refused, "");
    ASSERT_TRUE(radios.runUntil([&] { return refused->count(Kind::state) > 0; }));
    EXPECT_EQ(states(*refused), std::vector{RadioState::unauthorized});
    EXPECT_EQ(refusedCentral->state(), RadioState::unauthorized);

    radios.bluez->denyAccess = false;
    radios.bluez->addAdapter("hci0", BluezRadios::hostAddress, false);
    radios.bluez->addAdapter("hci1", BluezRadios::speakerAddress, true);
    std::vector<std::shared_ptr<RadioRecorder>> recorders;
    std::vector<std::unique_ptr<CentralManager>> centrals;
    for (const char* adapter : {"", "hci0", "hci7"}) {
        recorders.push_back(std::make_shared<RadioRecorder>());
        centrals.push_back(radios.makeSpeaker(recorders.back(), adapter));
    }
    ASSERT_TRUE(radios.runUntil([&] {
        return std::all_of(recorders.begin(), recorders.end(),
                           [](const auto& r) { return r->count(Kind::state) > 0; });
    }));
    EXPECT_EQ(states(*recorders[0]), std::vector{RadioState::poweredOn});
    EXPECT_EQ(states(*recorders[1]), std::vector{RadioState::poweredOff});
    EXPECT_EQ(states(*recorders[2]), std::vector{RadioState::unsupported});
    centrals[0]->scan({service}, true);
    ASSERT_TRUE(radios.runUntil([&] { return radios.bluez->discovering(); }));
    EXPECT_EQ(radios.bluez->callsTo("StartDiscovery").front().path, "/org/bluez/hci1");
}

// ---- the central role over D-Bus ----

using BluezTest = RadioContract<BluezRadios>;

TEST_F(BluezTest, ScansAskForLeDevicesOfTheServicesAndCountOnlyUpdatesWithASignal) {
    start();
    FakeBluez& bluez = *radios.bluez;
    speakerManager->scan({service}, true);
    ASSERT_TRUE(radios.runUntil([&] { return bluez.discovering(); }));
    const QVariantMap& filter = bluez.discoveryFilter();
    EXPECT_EQ(toStringList(filter.value("UUIDs")), QStringList{QString::fromStdString(service)});
    EXPECT_EQ(filter.value("Transport").toString(), "le");
    EXPECT_TRUE(filter.value("DuplicateData").toBool());
    EXPECT_EQ(bluez.callsTo("SetDiscoveryFilter").front().path, radios.hci0);

    const QString lower = QString::fromStdString(service).toLower();
    const QString kitchen =
        bluez.addDevice(radios.hci0, "11:22:33:44:55:66",
                        {{"Name", "Kitchen"}, {"UUIDs", QStringList{lower}}, {"RSSI", rssi(-60)}});
    // No signal: not an advertisement. 127 (unknown) is passed on as it is.
    bluez.changeProperties(kitchen, deviceInterface, {{"Name", "Kitchen 2"}});
    bluez.changeProperties(kitchen, deviceInterface, {{"RSSI", rssi(127)}});
    // Without the service, or on another adapter: not ours.
    bluez.addDevice(radios.hci0, "22:22:22:22:22:22",
                    {{"UUIDs", QStringList{"180F"}}, {"RSSI", rssi(-40)}});
    bluez.addDevice(radios.hci1, "33:33:33:33:33:33",
                    {{"UUIDs", QStringList{lower}}, {"RSSI", rssi(-40)}});
    bluez.addDevice(radios.hci0, "44:44:44:44:44:44",
                    {{"UUIDs", QStringList{lower}}, {"RSSI", rssi(-70)}});
    ASSERT_TRUE(radios.runUntil([&] { return speaker->count(Kind::discovered) == 3; }));
    radios.runFor(100);
    std::vector<std::tuple<std::optional<std::string>, int>> seen;
    for (const RadioEvent& event : speaker->events) {
        if (event.kind == Kind::discovered) {
            seen.emplace_back(event.advertisement.localName, event.rssi);
            EXPECT_EQ(event.advertisement.serviceUuids, std::vector{service});
        }
    }
    EXPECT_EQ(seen, (decltype(seen){{"Kitchen", -60}, {"Kitchen 2", 127}, {std::nullopt, -70}}));
    EXPECT_EQ(speaker->events[1].peripheral->identifier(),
              peerIdentifier(BluezRadios::speakerAddress, "11:22:33:44:55:66"));

    // Not scanning: nothing is reported, and the device is known once BlueZ knows it.
    speakerManager->stopScan();
    ASSERT_TRUE(radios.runUntil([&] { return !bluez.discovering(); }));
    const QString late = bluez.addDevice(radios.hci0, "55:55:55:55:55:55",
                                         {{"UUIDs", QStringList{lower}}, {"RSSI", rssi(-61)}});
    const std::string lateId = peerIdentifier(BluezRadios::speakerAddress, "55:55:55:55:55:55");
    ASSERT_TRUE(
        radios.runUntil([&] { return !speakerManager->retrievePeripherals({lateId}).empty(); }));
    speakerManager->scan({service}, true);
    bluez.changeProperties(late, deviceInterface, {{"RSSI", rssi(-62)}});
    ASSERT_TRUE(radios.runUntil([&] { return speaker->count(Kind::discovered) == 4; }));
    EXPECT_EQ(speaker->last(Kind::discovered).rssi, -62);
}

TEST_F(BluezTest, ConnectionsFailDropAndCancelAsBluezTellsThem) {
    start();
    FakeBluez& bluez = *radios.bluez;
    const uint16_t psm = advertise();
    const auto host = connect();
    ASSERT_TRUE(host);
    // The channel goes to the host's address of the type it advertises with.
    ASSERT_TRUE(next(*speaker, Kind::channel, [&] { host->openL2capChannel(psm); }).channel);
    ASSERT_EQ(radios.sockets->connects.size(), 1U);
    EXPECT_EQ(radios.sockets->connects[0].adapter, (LeAddress{BluezRadios::speakerAddress, false}));
    EXPECT_EQ(radios.sockets->connects[0].peer, (LeAddress{BluezRadios::hostAddress, true}));
    speakerManager->cancelConnection(host);

    bluez.failNext("Connect", "org.bluez.Error.Failed", "le-connection-abort-by-local");
    EXPECT_EQ(next(*speaker, Kind::failedToConnect, [&] { speakerManager->connect(host); })
                  .error->description,
              "le-connection-abort-by-local");
    // Services resolved before Connect answers: connected once all the same.
    bluez.resolveBeforeConnectReply = true;
    next(*speaker, Kind::connected, [&] { speakerManager->connect(host); });
    radios.runFor(100);
    EXPECT_EQ(speaker->count(Kind::connected), 2U);
    bluez.resolveBeforeConnectReply = false;
    next(*speaker, Kind::disconnected, [&] {
        bluez.changeProperties(radios.hostDevice(), deviceInterface, {{"Connected", false}});
    });

    // Cancelled, connecting or connected: no event for either.
    bluez.holdConnect = true;
    speakerManager->connect(host);
    speakerManager->cancelConnection(host);
    radios.runFor(100);
    bluez.holdConnect = false;
    next(*speaker, Kind::connected, [&] { speakerManager->connect(host); });
    speakerManager->cancelConnection(host);
    radios.runFor(200);
    EXPECT_EQ(bluez.callsTo("Disconnect").size(), 3U);

    radios.runFor(100);
    EXPECT_EQ(speaker->count(Kind::failedToConnect), 1U);
    EXPECT_EQ(speaker->count(Kind::disconnected), 1U);
    EXPECT_EQ(speaker->count(Kind::connected), 3U);

    // A device that goes away while being connected fails the connection.
    bluez.holdConnect = true;
    EXPECT_EQ(next(*speaker, Kind::failedToConnect,
                   [&] {
                       speakerManager->connect(host);
                       radios.runUntil([&] { return bluez.callsTo("Connect").size() == 6; });
                       bluez.removeObject(radios.hostDevice());
                   })
                  .error->description,
              "the device is gone");
}

// ---- the peripheral role over D-Bus ----

QByteArray readAt(FakeBluez& bluez, const QString& characteristic, std::optional<uint16_t> offset,
                  QString* error = nullptr) {
    QVariantMap options;
    if (offset) {
        options.insert("offset", QVariant::fromValue<quint16>(*offset));
    }
    const QDBusMessage reply =
        bluez.callClient(bluez.application->owner, characteristic, gattCharacteristicInterface,
                         "ReadValue", {options});
    if (error != nullptr) {
        *error = reply.errorName();
    }
    return reply.arguments().value(0).toByteArray();
}

TEST_F(BluezTest, TheServiceIsAnApplicationBluezReadsFromAnyOffsetAndTakesAnewWhenRebuilt) {
    start();
    FakeBluez& bluez = *radios.bluez;
    next(*host, Kind::serviceAdded, [&] { hostManager->addService(partyService(300)); });
    ASSERT_TRUE(bluez.application);
    EXPECT_EQ(bluez.application->adapter, radios.hci1);
    EXPECT_EQ(toPath(bluez.callsTo("RegisterApplication")[0].arguments.value(0)),
              bluez.application->path);
    // The service and its characteristics, each readable only, under it.
    const auto objects = [&] { return bluez.application->objects; };
    ASSERT_EQ(objects().size(), 4);
    const QString servicePath = objects().firstKey();
    EXPECT_TRUE(objects().first().value(gattServiceInterface).value("Primary").toBool());
    std::map<std::string, QString> paths;
    for (auto it = std::next(objects().cbegin()); it != objects().cend(); ++it) {
        const QVariantMap characteristic = it.value().value(gattCharacteristicInterface);
        EXPECT_EQ(toPath(characteristic.value("Service")), servicePath);
        EXPECT_EQ(toStringList(characteristic.value("Flags")), QStringList{"read"});
        paths[characteristic.value("UUID").toString().toStdString()] = it.key();
    }
    EXPECT_EQ(readAt(bluez, paths[psmUuid], std::nullopt), QByteArray("\x2C\x01", 2));
    const Bytes info = partyService(300).characteristics[1].value;
    const QString infoPath = paths[radio_test::infoUuid];
    EXPECT_EQ(readAt(bluez, infoPath, 22),
              QByteArray(reinterpret_cast<const char*>(&info[22]), 578));
    QString error;
    EXPECT_TRUE(readAt(bluez, infoPath, 600, &error).isEmpty());
    EXPECT_TRUE(error.isEmpty());
    readAt(bluez, infoPath, 601, &error);
    EXPECT_EQ(error, invalidOffsetError);

    // Removed and added twice before BlueZ answers: only the last addition is answered.
    hostManager->removeAllServices();
    hostManager->addService(partyService(0x81));
    hostManager->removeAllServices();
    hostManager->addService(partyService(0x82));
    ASSERT_TRUE(radios.runUntil([&] { return host->count(Kind::serviceAdded) == 2; }));
    radios.runFor(100);
    EXPECT_EQ(host->count(Kind::serviceAdded), 2U);
    EXPECT_EQ(readAt(bluez, paths[psmUuid], 0), QByteArray("\x82\x00", 2));
    // A further service joins the registered one: BlueZ gets the application anew with both.
    next(*host, Kind::serviceAdded, [&] { hostManager->addService({otherUuid, true, {}}); });
    EXPECT_EQ(objects().size(), 5);
}

TEST_F(BluezTest, AdvertisesAsAPeripheralUntilStoppedOrReleased) {
    start();
    FakeBluez& bluez = *radios.bluez;
    next(*host, Kind::advertising, [&] { hostManager->startAdvertising({{service}, "Kitchen"}); });
    ASSERT_TRUE(bluez.advertisement);
    const QVariantMap& properties = bluez.advertisement->properties;
    EXPECT_EQ(properties.value("Type").toString(), "peripheral");
    EXPECT_EQ(toStringList(properties.value("ServiceUUIDs")),
              QStringList{QString::fromStdString(service)});
    EXPECT_EQ(properties.value("LocalName").toString(), "Kitchen");
    EXPECT_EQ(bluez.advertisement->adapter, radios.hci1);
    hostManager->stopAdvertising();
    ASSERT_TRUE(radios.runUntil([&] { return !bluez.advertisement; }));
    // BlueZ dropping the advertisement on its own ends it too.
    next(*host, Kind::advertising, [&] { hostManager->startAdvertising({{service}, "Kitchen"}); });
    bluez.releaseAdvertisement();
    EXPECT_TRUE(radios.runUntil([&] { return !hostManager->isAdvertising(); }));
}

TEST_F(BluezTest, RefusedOrOvertakenRequestsAndAGoneManagerLeaveNothingWithBluez) {
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

    // A manager that goes withdraws what BlueZ holds, and its objects leave the bus.
    next(*host, Kind::advertising, [&] { hostManager->startAdvertising({{service}, "Kitchen"}); });
    const FakeBluez::Registration application = *bluez.application;
    hostManager.reset();
    ASSERT_TRUE(radios.runUntil([&] { return !bluez.application && !bluez.advertisement; }));
    EXPECT_EQ(bluez
                  .callClient(application.owner, application.path, objectManagerInterface,
                              "GetManagedObjects")
                  .type(),
              QDBusMessage::ErrorMessage);
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

TEST_F(BluezTest, ChannelsLostWhileBeingAcceptedCostOnlyThemselves) {
    start();
    const uint16_t psm =
        next(*host, Kind::published, [&] { hostManager->publishChannel(false); }).psm;
    radios.sockets->lostAccepts = 2;
    std::vector<int> fds;
    fds.reserve(3);
    for (int i = 0; i < 3; ++i) {
        fds.push_back(*radios.sockets->connect({BluezRadios::speakerAddress, false},
                                               {BluezRadios::hostAddress, false}, psm));
    }
    ASSERT_TRUE(radios.runUntil([&] { return host->count(Kind::hostChannel) == 1; }));
    radios.runFor(300);
    EXPECT_EQ(host->count(Kind::hostChannel), 1U);
    EXPECT_EQ(host->last(Kind::hostChannel).channel->peerId, radios.speakerIdAtHost());
    EXPECT_EQ(radios.sockets->lostAccepts, 0);
    for (const int fd : fds) {
        ::close(fd);
    }
}

} // namespace
} // namespace merriphonic::bluez_test
