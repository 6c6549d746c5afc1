#include <gtest/gtest.h>

#include <QDBusObjectPath>

#include <algorithm>
#include <array>
#include <memory>
#include <string>

#include "bluez_fixture.h"
#include "platform/bluez/peer_identifier.h"

namespace merriphonic::bluez_test {
namespace {

using namespace bluez;

QVariant rssi(int16_t value) {
    return QVariant::fromValue<qint16>(value);
}

class CentralTest : public BluezTest {
protected:
    static constexpr const char* hostDevice = "11:22:33:44:55:66";

    void SetUp() override {
        hci0 = bluez->addAdapter(QStringLiteral("hci0"), speakerAddress, true);
        central = makeCentral(speaker);
        ASSERT_TRUE(speaker->waitFor("state on"));
    }

    // Scans until the host at hostDevice (offering the party service) has been seen.
    std::shared_ptr<RemotePeripheral> discoverHost() {
        central->scan({serviceUuid}, true);
        EXPECT_TRUE(runUntil([&] { return bluez->discovering(); }));
        device = bluez->addDevice(hci0, hostDevice,
                                  {{QStringLiteral("Name"), QStringLiteral("Kitchen")},
                                   {QStringLiteral("UUIDs"), QStringList{serviceUuid}},
                                   {QStringLiteral("RSSI"), rssi(-60)}});
        EXPECT_TRUE(runUntil([&] { return !speaker->peripherals.empty(); }));
        return speaker->peripherals.empty() ? nullptr : speaker->peripherals.begin()->second;
    }

    QString hci0;
    QString device;
    std::shared_ptr<RecordingCentralDelegate> speaker =
        std::make_shared<RecordingCentralDelegate>();
    std::unique_ptr<CentralManager> central;
};

TEST_F(CentralTest, ScanningSetsAnLeFilterForTheServices) {
    central->scan({serviceUuid}, true);
    EXPECT_TRUE(central->isScanning());
    ASSERT_TRUE(runUntil([&] { return bluez->discovering(); }));
    const QVariantMap& filter = bluez->discoveryFilter();
    EXPECT_EQ(toStringList(filter.value(QStringLiteral("UUIDs"))),
              QStringList{QString::fromLatin1(serviceUuid)});
    EXPECT_EQ(filter.value(QStringLiteral("Transport")).toString(), QStringLiteral("le"));
    EXPECT_TRUE(filter.value(QStringLiteral("DuplicateData")).toBool());
    EXPECT_EQ(bluez->callsTo(QStringLiteral("SetDiscoveryFilter")).front().path, hci0);

    central->stopScan();
    EXPECT_FALSE(central->isScanning());
    ASSERT_TRUE(runUntil([&] { return !bluez->discovering(); }));
}

TEST_F(CentralTest, OnlyUpdatesCarryingRssiCountAsAdvertisements) {
    const std::string upper = serviceUuid;
    const QString lower = QString::fromLatin1(serviceUuid).toLower();
    central->scan({serviceUuid}, true);
    ASSERT_TRUE(runUntil([&] { return bluez->discovering(); }));

    const QString kitchen = bluez->addDevice(hci0, hostDevice,
                                             {{QStringLiteral("Name"), QStringLiteral("Kitchen")},
                                              {QStringLiteral("UUIDs"), QStringList{lower}},
                                              {QStringLiteral("RSSI"), rssi(-60)}});
    ASSERT_TRUE(speaker->waitFor("discovered name=Kitchen uuids=" + upper + " rssi=-60"));
    // No RSSI: not an advertisement.
    bluez->changeProperties(kitchen, deviceInterface,
                            {{QStringLiteral("Name"), QStringLiteral("Kitchen 2")}});
    // RSSI 127 (unknown) is passed on as it is.
    bluez->changeProperties(kitchen, deviceInterface, {{QStringLiteral("RSSI"), rssi(127)}});
    // Without the service, or on another adapter: not ours.
    bluez->addDevice(hci0, QStringLiteral("22:22:22:22:22:22"),
                     {{QStringLiteral("UUIDs"), QStringList{QStringLiteral("180F")}},
                      {QStringLiteral("RSSI"), rssi(-40)}});
    const QString hci1 = bluez->addAdapter(QStringLiteral("hci1"), hostAddress, true);
    bluez->addDevice(
        hci1, QStringLiteral("33:33:33:33:33:33"),
        {{QStringLiteral("UUIDs"), QStringList{lower}}, {QStringLiteral("RSSI"), rssi(-40)}});
    // No name: no local name.
    bluez->addDevice(
        hci0, QStringLiteral("44:44:44:44:44:44"),
        {{QStringLiteral("UUIDs"), QStringList{lower}}, {QStringLiteral("RSSI"), rssi(-70)}});
    ASSERT_TRUE(speaker->waitFor("discovered name=- uuids=" + upper + " rssi=-70"));

    EXPECT_EQ(speaker->events,
              (std::vector<std::string>{"state on",
                                        "discovered name=Kitchen uuids=" + upper + " rssi=-60",
                                        "discovered name=Kitchen 2 uuids=" + upper + " rssi=127",
                                        "discovered name=- uuids=" + upper + " rssi=-70"}));
    EXPECT_EQ(speaker->peripherals.count(peerIdentifier(speakerAddress, hostDevice)), 1U);

    // Not scanning: nothing is reported (the device is known once it can be retrieved).
    central->stopScan();
    const QString late = bluez->addDevice(
        hci0, QStringLiteral("55:55:55:55:55:55"),
        {{QStringLiteral("UUIDs"), QStringList{lower}}, {QStringLiteral("RSSI"), rssi(-61)}});
    const std::string lateId = peerIdentifier(speakerAddress, "55:55:55:55:55:55");
    ASSERT_TRUE(runUntil([&] { return !central->retrievePeripherals({lateId}).empty(); }));
    central->scan({serviceUuid}, true);
    bluez->changeProperties(late, deviceInterface, {{QStringLiteral("RSSI"), rssi(-62)}});
    ASSERT_TRUE(speaker->waitFor("discovered name=- uuids=" + upper + " rssi=-62"));
    EXPECT_FALSE(speaker->saw("discovered name=- uuids=" + upper + " rssi=-61"));
}

TEST_F(CentralTest, ConnectsDiscoversAndReads) {
    auto host = discoverHost();
    ASSERT_TRUE(host);
    bluez->setDeviceGatt(device, QString::fromLatin1(serviceUuid).toLower(),
                         {{psmUuid, QByteArray("\x81\x00", 2)}, {infoUuid, QByteArray("{}")}});

    central->connect(host);
    ASSERT_TRUE(speaker->waitFor("connected"));
    host->discoverServices({serviceUuid});
    ASSERT_TRUE(speaker->waitFor(std::string("services ") + serviceUuid));
    host->discoverCharacteristics({psmUuid, infoUuid}, serviceUuid);
    ASSERT_TRUE(speaker->waitFor(std::string("characteristics ") + psmUuid + "," + infoUuid));
    host->readValue(serviceUuid, psmUuid);
    ASSERT_TRUE(speaker->waitFor(std::string("value ") + psmUuid + " 8100"));
    host->readValue(serviceUuid, "0000AAAA-0000-1000-8000-00805F9B34FB");
    ASSERT_TRUE(speaker->waitFor(
        "value 0000AAAA-0000-1000-8000-00805F9B34FB - error: the characteristic has not been "
        "discovered"));

    EXPECT_EQ(speaker->count("connected"), 1U);
    const auto reads = bluez->callsTo(QStringLiteral("ReadValue"));
    ASSERT_EQ(reads.size(), 1U);
    EXPECT_TRUE(reads[0].path.startsWith(device));
}

TEST_F(CentralTest, ServicesResolvedBeforeConnectAnswersConnectsOnce) {
    bluez->resolveBeforeConnectReply = true;
    auto host = discoverHost();
    ASSERT_TRUE(host);
    central->connect(host);
    ASSERT_TRUE(speaker->waitFor("connected"));
    host->discoverServices({});
    ASSERT_TRUE(speaker->waitFor("services "));
    EXPECT_EQ(speaker->count("connected"), 1U);
}

TEST_F(CentralTest, FailedConnectionsAndLostLinksAreReported) {
    auto host = discoverHost();
    ASSERT_TRUE(host);
    bluez->failNext(QStringLiteral("Connect"), QStringLiteral("org.bluez.Error.Failed"),
                    QStringLiteral("le-connection-abort-by-local"));
    central->connect(host);
    ASSERT_TRUE(speaker->waitFor("failed error: le-connection-abort-by-local"));

    central->connect(host);
    ASSERT_TRUE(speaker->waitFor("connected"));
    bluez->changeProperties(device, deviceInterface, {{QStringLiteral("Connected"), false}});
    ASSERT_TRUE(speaker->waitFor("disconnected"));

    // A device that goes away while being connected fails the connection.
    bluez->holdConnect = true;
    central->connect(host);
    ASSERT_TRUE(runUntil([&] { return bluez->callsTo(QStringLiteral("Connect")).size() == 3; }));
    bluez->removeObject(device);
    ASSERT_TRUE(speaker->waitFor("failed error: the device is gone"));
}

TEST_F(CentralTest, CancelledConnectionsEndWithoutEvents) {
    auto host = discoverHost();
    ASSERT_TRUE(host);
    bluez->holdConnect = true;
    central->connect(host);
    central->cancelConnection(host);
    ASSERT_TRUE(runUntil([&] { return !bluez->callsTo(QStringLiteral("Disconnect")).empty(); }));

    bluez->holdConnect = false;
    central->connect(host);
    ASSERT_TRUE(speaker->waitFor("connected"));
    central->cancelConnection(host); // the fake answers with Connected false
    ASSERT_TRUE(runUntil([&] { return bluez->callsTo(QStringLiteral("Disconnect")).size() == 2; }));

    // Ordered after everything above: once seen, nothing else is still on its way.
    bluez->changeProperties(device, deviceInterface, {{QStringLiteral("RSSI"), rssi(-59)}});
    ASSERT_TRUE(speaker->waitFor("discovered name=Kitchen uuids=" + std::string(serviceUuid) +
                                 " rssi=-59"));
    EXPECT_FALSE(speaker->saw("failed"));
    EXPECT_FALSE(speaker->saw("disconnected"));
    EXPECT_EQ(speaker->count("connected"), 1U);
}

TEST_F(CentralTest, RetrievesPeripheralsBluezKnows) {
    bluez->addDevice(hci0, hostDevice, {{QStringLiteral("UUIDs"), QStringList{serviceUuid}}});
    const std::string known = peerIdentifier(speakerAddress, hostDevice);
    ASSERT_TRUE(runUntil([&] { return !central->retrievePeripherals({known}).empty(); }));
    const auto found =
        central->retrievePeripherals({"00000000-0000-5000-8000-000000000000", known});
    ASSERT_EQ(found.size(), 1U);
    EXPECT_EQ(found[0]->identifier(), known);
    EXPECT_EQ(central->retrievePeripherals({known})[0], found[0]);
}

// Reads what arrives on a channel until `expected` bytes are in (its streams run on the main
// loop in these tests).
std::string receive(const std::shared_ptr<L2capChannel>& channel, size_t expected) {
    std::string received;
    InputStream* input = channel->streams.input.get();
    input->setEventHandler([input, &received](StreamEvent event) {
        std::array<uint8_t, 512> buffer{};
        const int64_t count =
            event == StreamEvent::bytesAvailable ? input->read(buffer.data(), buffer.size()) : 0;
        received.append(buffer.begin(), buffer.begin() + std::max<int64_t>(count, 0));
    });
    input->open();
    runUntil([&] { return received.size() >= expected; });
    input->setEventHandler({});
    return received;
}

void send(const std::shared_ptr<L2capChannel>& channel, const std::string& text) {
    OutputStream* output = channel->streams.output.get();
    output->setEventHandler([output, text, sent = false](StreamEvent event) mutable {
        if (event == StreamEvent::spaceAvailable && !sent) {
            sent = output->write(reinterpret_cast<const uint8_t*>(text.data()), text.size()) > 0;
        }
    });
    output->open();
}

TEST_F(CentralTest, OpensChannelsToAPeripheralOfTheSameBluez) {
    // The host on adapter hci1, the speaker (this central) on hci0, one BlueZ for both.
    const QString hci1 = bluez->addAdapter(QStringLiteral("hci1"), hostAddress, true);
    auto host = std::make_shared<RecordingPeripheralDelegate>();
    auto peripheralManager = makePeripheral(host, "hci1");
    ASSERT_TRUE(host->waitFor("state on"));
    peripheralManager->publishChannel(false);
    ASSERT_TRUE(host->waitFor("published 128"));

    central->scan({serviceUuid}, true);
    bluez->addDevice(hci0, hostAddress,
                     {{QStringLiteral("UUIDs"), QStringList{serviceUuid}},
                      {QStringLiteral("AddressType"), QStringLiteral("random")},
                      {QStringLiteral("RSSI"), rssi(-50)}});
    ASSERT_TRUE(runUntil([&] { return !speaker->peripherals.empty(); }));
    auto remote = speaker->peripherals.begin()->second;
    central->connect(remote);
    ASSERT_TRUE(speaker->waitFor("connected"));
    remote->openL2capChannel(128);

    const std::string speakerSide = peerIdentifier(speakerAddress, hostAddress);
    const std::string hostSide = peerIdentifier(hostAddress, speakerAddress);
    ASSERT_TRUE(speaker->waitFor("channel " + speakerSide));
    ASSERT_TRUE(host->waitFor("opened " + hostSide));
    ASSERT_EQ(sockets->connects.size(), 1U);
    EXPECT_EQ(sockets->connects[0].adapter, (LeAddress{speakerAddress, false}));
    EXPECT_EQ(sockets->connects[0].peer, (LeAddress{hostAddress, true}));

    send(speaker->channels[0], "hello host");
    EXPECT_EQ(receive(host->channels[0], 10), "hello host");
    send(host->channels[0], "hello speaker");
    EXPECT_EQ(receive(speaker->channels[0], 13), "hello speaker");
    for (const auto& channel : {speaker->channels[0], host->channels[0]}) {
        channel->streams.input->close();
        channel->streams.output->close();
    }

    // A PSM nobody publishes fails.
    remote->openL2capChannel(200);
    ASSERT_TRUE(runUntil([&] { return speaker->sawPrefix("channel - error: "); }));
}

} // namespace
} // namespace merriphonic::bluez_test
