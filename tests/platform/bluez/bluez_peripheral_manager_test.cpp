#include <gtest/gtest.h>

#include <unistd.h>

#include <QDBusMessage>

#include "bluez_fixture.h"
#include "platform/bluez/peer_identifier.h"

namespace merriphonic::bluez_test {
namespace {

using namespace bluez;

class PeripheralTest : public BluezTest {
protected:
    void SetUp() override {
        hci0 = bluez->addAdapter(QStringLiteral("hci0"), hostAddress, true);
        peripheral = makePeripheral(host);
        ASSERT_TRUE(host->waitFor("state on"));
    }

    static GattServiceSpec partyService(uint16_t psm, size_t infoSize = 600) {
        Bytes info(infoSize);
        for (size_t i = 0; i < info.size(); ++i) {
            info[i] = static_cast<uint8_t>('a' + i % 26);
        }
        return GattServiceSpec{
            serviceUuid,
            true,
            {{psmUuid, {static_cast<uint8_t>(psm), static_cast<uint8_t>(psm >> 8)}},
             {infoUuid, info}}};
    }

    // The registered application's object that has the interface and UUID.
    QString objectWith(const QString& interface, const char* uuid) const {
        const ObjectMap& objects = bluez->application->objects;
        for (auto it = objects.cbegin(); it != objects.cend(); ++it) {
            if (sameUuid(it.value().value(interface).value(QStringLiteral("UUID")).toString(),
                         uuid)) {
                return it.key();
            }
        }
        return {};
    }

    QDBusMessage readAt(const QString& characteristic, std::optional<uint16_t> offset) {
        QVariantMap options;
        if (offset) {
            options.insert(QStringLiteral("offset"), QVariant::fromValue<quint16>(*offset));
        }
        return bluez->callClient(bluez->application->owner, characteristic,
                                 gattCharacteristicInterface, QStringLiteral("ReadValue"),
                                 {options});
    }

    QString hci0;
    std::shared_ptr<RecordingPeripheralDelegate> host =
        std::make_shared<RecordingPeripheralDelegate>();
    std::unique_ptr<PeripheralManager> peripheral;
};

TEST_F(PeripheralTest, RegistersTheServiceAsAnApplicationBluezCanRead) {
    peripheral->removeAllServices();
    peripheral->addService(partyService(0x0081));
    ASSERT_TRUE(host->waitFor(std::string("service ") + serviceUuid));

    ASSERT_TRUE(bluez->application.has_value());
    const auto registrations = bluez->callsTo(QStringLiteral("RegisterApplication"));
    ASSERT_EQ(registrations.size(), 1U);
    EXPECT_EQ(registrations[0].path, hci0);
    EXPECT_EQ(toPath(registrations[0].arguments.value(0)), bluez->application->path);

    const QString servicePath = objectWith(gattServiceInterface, serviceUuid);
    ASSERT_FALSE(servicePath.isEmpty());
    const ObjectMap& objects = bluez->application->objects;
    EXPECT_TRUE(objects.value(servicePath)
                    .value(gattServiceInterface)
                    .value(QStringLiteral("Primary"))
                    .toBool());
    ASSERT_EQ(objects.size(), 3); // the service and its two characteristics
    for (const char* uuid : {psmUuid, infoUuid}) {
        const QString path = objectWith(gattCharacteristicInterface, uuid);
        ASSERT_FALSE(path.isEmpty()) << uuid;
        const QVariantMap characteristic = objects.value(path).value(gattCharacteristicInterface);
        EXPECT_EQ(toPath(characteristic.value(QStringLiteral("Service"))), servicePath);
        EXPECT_EQ(toStringList(characteristic.value(QStringLiteral("Flags"))),
                  QStringList{QStringLiteral("read")});
    }
}

TEST_F(PeripheralTest, ServesValuesFromTheRequestedOffset) {
    const GattServiceSpec spec = partyService(300, 600);
    peripheral->addService(spec);
    ASSERT_TRUE(host->waitFor(std::string("service ") + serviceUuid));
    const QString info = objectWith(gattCharacteristicInterface, infoUuid);
    const Bytes& value = spec.characteristics[1].value;
    const auto bytesOf = [](const QDBusMessage& reply) {
        const QByteArray bytes = reply.arguments().value(0).toByteArray();
        return Bytes(bytes.begin(), bytes.end());
    };

    EXPECT_EQ(bytesOf(readAt(objectWith(gattCharacteristicInterface, psmUuid), std::nullopt)),
              (Bytes{44, 1}));
    EXPECT_EQ(bytesOf(readAt(info, 0)), value);
    EXPECT_EQ(bytesOf(readAt(info, 22)), Bytes(value.begin() + 22, value.end()));
    const QDBusMessage atEnd = readAt(info, 600);
    EXPECT_EQ(atEnd.type(), QDBusMessage::ReplyMessage);
    EXPECT_TRUE(bytesOf(atEnd).empty());
    const QDBusMessage pastEnd = readAt(info, 601);
    EXPECT_EQ(pastEnd.type(), QDBusMessage::ErrorMessage);
    EXPECT_EQ(pastEnd.errorName(), QString(invalidOffsetError));
}

TEST_F(PeripheralTest, AdvertisesAsAPeripheralUntilStoppedOrReleased) {
    peripheral->startAdvertising(AdvertisingData{{serviceUuid}, "Kitchen"});
    EXPECT_TRUE(peripheral->isAdvertising());
    ASSERT_TRUE(host->waitFor("advertising"));
    ASSERT_TRUE(bluez->advertisement.has_value());
    const QVariantMap& properties = bluez->advertisement->properties;
    EXPECT_EQ(properties.value(QStringLiteral("Type")).toString(), QStringLiteral("peripheral"));
    EXPECT_EQ(toStringList(properties.value(QStringLiteral("ServiceUUIDs"))),
              QStringList{QString::fromLatin1(serviceUuid)});
    EXPECT_EQ(properties.value(QStringLiteral("LocalName")).toString(), QStringLiteral("Kitchen"));
    EXPECT_EQ(bluez->callsTo(QStringLiteral("RegisterAdvertisement")).front().path, hci0);

    peripheral->stopAdvertising();
    EXPECT_FALSE(peripheral->isAdvertising());
    ASSERT_TRUE(runUntil([&] { return !bluez->advertisement; }));

    // Advertising again registers afresh; BlueZ dropping it on its own ends it too.
    peripheral->startAdvertising(AdvertisingData{{serviceUuid}, "Kitchen"});
    ASSERT_TRUE(runUntil([&] { return host->count("advertising") == 2; }));
    bluez->releaseAdvertisement();
    ASSERT_TRUE(runUntil([&] { return !peripheral->isAdvertising(); }));
}

TEST_F(PeripheralTest, RebuildingTheServiceReplacesTheApplication) {
    peripheral->removeAllServices();
    peripheral->addService(partyService(0x0081));
    peripheral->removeAllServices();
    peripheral->addService(partyService(0x0082));
    ASSERT_TRUE(host->waitFor(std::string("service ") + serviceUuid));
    ASSERT_TRUE(runUntil([&] { return bluez->application.has_value(); }));
    drain();

    // The first addition was overtaken by the removal: only the second is answered and served.
    EXPECT_EQ(host->count(std::string("service ") + serviceUuid), 1U);
    EXPECT_EQ(bluez->application->objects.size(), 3);
    const QDBusMessage psm = readAt(objectWith(gattCharacteristicInterface, psmUuid), 0);
    EXPECT_EQ(psm.arguments().value(0).toByteArray(), QByteArray("\x82\x00", 2));

    // A further service joins the registered one: BlueZ gets the application anew with both.
    const GattServiceSpec second = {"0000AAAA-0000-1000-8000-00805F9B34FB", true, {}};
    peripheral->addService(second);
    ASSERT_TRUE(host->waitFor("service " + second.uuid));
    EXPECT_EQ(bluez->application->objects.size(), 4);
}

TEST_F(PeripheralTest, BluezRefusalsReachTheDelegate) {
    bluez->failNext(QStringLiteral("RegisterApplication"), QStringLiteral("org.bluez.Error.Failed"),
                    QStringLiteral("Failed to register"));
    bluez->failNext(QStringLiteral("RegisterAdvertisement"),
                    QStringLiteral("org.bluez.Error.NotPermitted"),
                    QStringLiteral("Maximum advertisements reached"));
    peripheral->addService(partyService(0x0081));
    peripheral->startAdvertising(AdvertisingData{{serviceUuid}, "Kitchen"});

    ASSERT_TRUE(
        host->waitFor(std::string("service ") + serviceUuid + " error: Failed to register"));
    ASSERT_TRUE(host->waitFor("advertising error: Maximum advertisements reached"));
    EXPECT_FALSE(peripheral->isAdvertising());

    // Nothing of the failed attempts lingers: the next ones succeed.
    peripheral->addService(partyService(0x0081));
    ASSERT_TRUE(host->waitFor(std::string("service ") + serviceUuid));
    EXPECT_EQ(bluez->application->objects.size(), 3);
}

TEST_F(PeripheralTest, StoppingBeforeBluezAnswersLeavesNothingBehind) {
    peripheral->addService(partyService(0x0081));
    peripheral->startAdvertising(AdvertisingData{{serviceUuid}, "Kitchen"});
    peripheral->stopAdvertising();
    peripheral->removeAllServices();
    EXPECT_FALSE(peripheral->isAdvertising());

    // Queued behind the withdrawals: once this is answered, they have been made.
    const GattServiceSpec later = {"0000AAAA-0000-1000-8000-00805F9B34FB", true, {}};
    peripheral->addService(later);
    ASSERT_TRUE(host->waitFor("service " + later.uuid));
    drain();

    EXPECT_FALSE(host->saw(std::string("service ") + serviceUuid));
    EXPECT_FALSE(host->saw("advertising"));
    EXPECT_FALSE(bluez->advertisement.has_value());
    ASSERT_TRUE(bluez->application.has_value());
    EXPECT_EQ(bluez->application->objects.size(), 1);
}

TEST_F(PeripheralTest, PowerLossWithdrawsEverythingAndPowerOnStartsAfresh) {
    peripheral->publishChannel(false);
    peripheral->addService(partyService(0x0080));
    peripheral->startAdvertising(AdvertisingData{{serviceUuid}, "Kitchen"});
    ASSERT_TRUE(host->waitFor("advertising"));

    bluez->setPowered(hci0, false);
    ASSERT_TRUE(host->waitFor("state off"));
    EXPECT_FALSE(peripheral->isAdvertising());
    ASSERT_TRUE(runUntil([&] { return !bluez->application && !bluez->advertisement; }));
    // The published channel is closed.
    auto refused = sockets->connect({speakerAddress, false}, {hostAddress, false}, 0x80);
    EXPECT_TRUE(std::holds_alternative<RadioError>(refused));

    peripheral->publishChannel(false);
    ASSERT_TRUE(host->waitFor("published 0 error: Bluetooth is not available"));

    bluez->setPowered(hci0, true);
    ASSERT_TRUE(runUntil([&] { return host->count("state on") == 2; }));
    peripheral->publishChannel(false);
    peripheral->addService(partyService(0x0081));
    peripheral->startAdvertising(AdvertisingData{{serviceUuid}, "Kitchen"});
    ASSERT_TRUE(host->waitFor("published 129"));
    ASSERT_TRUE(runUntil([&] { return host->count("advertising") == 2; }));
    EXPECT_TRUE(bluez->application.has_value());
}

TEST_F(PeripheralTest, RefusesWorkWhileBluetoothIsOffWithoutAskingBluez) {
    bluez->setPowered(hci0, false);
    ASSERT_TRUE(host->waitFor("state off"));
    peripheral->publishChannel(false);
    peripheral->addService(partyService(0x0081));
    peripheral->startAdvertising(AdvertisingData{{serviceUuid}, "Kitchen"});
    ASSERT_TRUE(host->waitFor("advertising error: Bluetooth is not available"));
    EXPECT_TRUE(host->saw("published 0 error: Bluetooth is not available"));
    EXPECT_TRUE(
        host->saw(std::string("service ") + serviceUuid + " error: Bluetooth is not available"));
    EXPECT_TRUE(bluez->callsTo(QStringLiteral("RegisterApplication")).empty());
    EXPECT_TRUE(bluez->callsTo(QStringLiteral("RegisterAdvertisement")).empty());
}

TEST_F(PeripheralTest, DestroyingTheManagerWithdrawsWhatBluezHolds) {
    peripheral->addService(partyService(0x0081));
    peripheral->startAdvertising(AdvertisingData{{serviceUuid}, "Kitchen"});
    ASSERT_TRUE(host->waitFor("advertising"));
    const FakeBluez::Registration application = *bluez->application;

    peripheral.reset();
    ASSERT_TRUE(runUntil([&] { return !bluez->application && !bluez->advertisement; }));
    // Our objects are gone from the bus.
    const QDBusMessage reply =
        bluez->callClient(application.owner, application.path, objectManagerInterface,
                          QStringLiteral("GetManagedObjects"));
    EXPECT_EQ(reply.type(), QDBusMessage::ErrorMessage);
}

TEST_F(PeripheralTest, PublishedChannelsAreAcceptedUntilUnpublished) {
    peripheral->publishChannel(false);
    ASSERT_TRUE(host->waitFor("published 128"));
    ASSERT_EQ(sockets->listens.size(), 1U);
    EXPECT_EQ(sockets->listens[0], (LeAddress{hostAddress, false}));

    auto client = sockets->connect({speakerAddress, false}, {hostAddress, false}, 128);
    ASSERT_TRUE(std::holds_alternative<int>(client));
    const std::string peer = peerIdentifier(hostAddress, speakerAddress);
    ASSERT_TRUE(host->waitFor("opened " + peer));
    ASSERT_EQ(host->channels.size(), 1U);
    EXPECT_TRUE(host->channels[0]->streams.input && host->channels[0]->streams.output);
    ::close(std::get<int>(client));

    // Channels that die while being accepted cost only themselves: the next ones still come.
    sockets->lostAccepts = 2;
    std::vector<int> lost;
    lost.reserve(2);
    for (int i = 0; i < 2; ++i) {
        lost.push_back(
            std::get<int>(sockets->connect({speakerAddress, false}, {hostAddress, false}, 128)));
    }
    auto later = sockets->connect({speakerAddress, false}, {hostAddress, false}, 128);
    ASSERT_TRUE(std::holds_alternative<int>(later));
    ASSERT_TRUE(runUntil([&] { return host->count("opened " + peer) == 2; }));
    EXPECT_EQ(host->channels.size(), 2U);
    EXPECT_FALSE(host->sawPrefix("opened -"));
    EXPECT_EQ(sockets->lostAccepts, 0);
    for (const int fd : lost) {
        ::close(fd);
    }
    ::close(std::get<int>(later));

    peripheral->unpublishChannel(128);
    ASSERT_TRUE(host->waitFor("unpublished 128"));
    peripheral->unpublishChannel(128);
    ASSERT_TRUE(host->waitFor("unpublished 128 error: no channel is published on that PSM"));
    auto refused = sockets->connect({speakerAddress, false}, {hostAddress, false}, 128);
    EXPECT_TRUE(std::holds_alternative<RadioError>(refused));
}

} // namespace
} // namespace merriphonic::bluez_test
