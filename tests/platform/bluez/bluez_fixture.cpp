#include "bluez_fixture.h"

#include <atomic>

namespace merriphonic::bluez_test {

namespace {

std::string outcome(const std::optional<RadioError>& error) {
    return error ? " error: " + error->description : std::string();
}

std::string hex(const Bytes& bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    for (const uint8_t byte : bytes) {
        text += digits[byte >> 4];
        text += digits[byte & 0x0f];
    }
    return text;
}

std::string joined(const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items) {
        text += (text.empty() ? "" : ",") + item;
    }
    return text;
}

} // namespace

void RecordingPeripheralDelegate::peripheralStateChanged(RadioState state) {
    events.push_back("state " + std::string(radioStateName(state)));
}

void RecordingPeripheralDelegate::channelPublished(uint16_t psm,
                                                   const std::optional<RadioError>& error) {
    events.push_back("published " + std::to_string(psm) + outcome(error));
}

void RecordingPeripheralDelegate::serviceAdded(const GattServiceSpec& service,
                                               const std::optional<RadioError>& error) {
    events.push_back("service " + service.uuid + outcome(error));
}

void RecordingPeripheralDelegate::advertisingStarted(const std::optional<RadioError>& error) {
    events.push_back("advertising" + outcome(error));
}

void RecordingPeripheralDelegate::channelOpened(std::shared_ptr<L2capChannel> channel,
                                                const std::optional<RadioError>& error) {
    events.push_back("opened " + (channel ? channel->peerId : std::string("-")) + outcome(error));
    if (channel) {
        channels.push_back(std::move(channel));
    }
}

void RecordingPeripheralDelegate::channelUnpublished(uint16_t psm,
                                                     const std::optional<RadioError>& error) {
    events.push_back("unpublished " + std::to_string(psm) + outcome(error));
}

void RecordingCentralDelegate::centralStateChanged(RadioState state) {
    events.push_back("state " + std::string(radioStateName(state)));
}

void RecordingCentralDelegate::peripheralDiscovered(std::shared_ptr<RemotePeripheral> peripheral,
                                                    const Advertisement& advertisement, int rssi) {
    events.push_back("discovered name=" + advertisement.localName.value_or("-") + " uuids=" +
                     joined(advertisement.serviceUuids) + " rssi=" + std::to_string(rssi));
    peripherals[peripheral->identifier()] = std::move(peripheral);
}

void RecordingCentralDelegate::peripheralConnected(std::shared_ptr<RemotePeripheral>) {
    events.emplace_back("connected");
}

void RecordingCentralDelegate::peripheralFailedToConnect(std::shared_ptr<RemotePeripheral>,
                                                         const std::optional<RadioError>& error) {
    events.push_back("failed" + outcome(error));
}

void RecordingCentralDelegate::peripheralDisconnected(std::shared_ptr<RemotePeripheral>,
                                                      const std::optional<RadioError>& error) {
    events.push_back("disconnected" + outcome(error));
}

void RecordingCentralDelegate::servicesDiscovered(std::shared_ptr<RemotePeripheral> peripheral,
                                                  const std::optional<RadioError>& error) {
    events.push_back("services " + joined(peripheral->services()) + outcome(error));
}

void RecordingCentralDelegate::characteristicsDiscovered(
    std::shared_ptr<RemotePeripheral> peripheral, const std::string& serviceUuid,
    const std::optional<RadioError>& error) {
    events.push_back("characteristics " + joined(peripheral->characteristics(serviceUuid)) +
                     outcome(error));
}

void RecordingCentralDelegate::valueUpdated(std::shared_ptr<RemotePeripheral>,
                                            const std::string& characteristicUuid,
                                            const std::optional<Bytes>& value,
                                            const std::optional<RadioError>& error) {
    events.push_back("value " + characteristicUuid + " " + (value ? hex(*value) : "-") +
                     outcome(error));
}

void RecordingCentralDelegate::channelOpened(std::shared_ptr<RemotePeripheral>,
                                             std::shared_ptr<L2capChannel> channel,
                                             const std::optional<RadioError>& error) {
    events.push_back("channel " + (channel ? channel->peerId : std::string("-")) + outcome(error));
    if (channel) {
        channels.push_back(std::move(channel));
    }
}

BluezTest::BluezTest() : sockets(std::make_shared<UnixL2capSockets>(scratchFolder())) {}

BluezTest::~BluezTest() {
    radios.clear();
    bluez.reset();
    drain();
    for (const QString& name : connections_) {
        closeBus(name);
    }
}

std::unique_ptr<BluezRadioFactory> BluezTest::makeRadio(const std::string& adapter) {
    static std::atomic<int> counter{0};
    const QString name = QStringLiteral("client-%1").arg(counter.fetch_add(1));
    connections_.push_back(name);
    BluezRadioOptions options;
    options.bus = openBus(name);
    options.adapter = adapter;
    options.sockets = sockets;
    // Channel streams on the main loop too: the stream thread is the byte streams' own concern.
    options.streams = &mainLoop();
    return std::make_unique<BluezRadioFactory>(options);
}

std::unique_ptr<PeripheralManager>
BluezTest::makePeripheral(const std::shared_ptr<RecordingPeripheralDelegate>& delegate,
                          const std::string& adapter) {
    radios.push_back(makeRadio(adapter));
    return radios.back()->makePeripheralManager(mainLoop(), delegate);
}

std::unique_ptr<CentralManager>
BluezTest::makeCentral(const std::shared_ptr<RecordingCentralDelegate>& delegate,
                       const std::string& adapter) {
    radios.push_back(makeRadio(adapter));
    return radios.back()->makeCentralManager(mainLoop(), delegate);
}

} // namespace merriphonic::bluez_test
