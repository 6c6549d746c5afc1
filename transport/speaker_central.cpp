#include "transport/speaker_central.h"

#include <algorithm>
#include <exception>
#include <utility>
#include <vector>

#include "core/json_parser.h"
#include "core/json_value.h"
#include "transport/ble_ids.h"

namespace merriphonic {

namespace {

std::string upperCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](char c) { return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c; });
    return text;
}

std::string describe(const std::optional<RadioError>& error, const char* without) {
    return error ? error->description : std::string(without);
}

} // namespace

std::shared_ptr<SpeakerCentral> SpeakerCentral::create(DeviceContext& context) {
    return std::make_shared<SpeakerCentral>(Private{}, context);
}

SpeakerCentral::SpeakerCentral(Private /*unused*/, DeviceContext& context) : context_(context) {}

SpeakerCentral::~SpeakerCentral() = default;

std::optional<std::string> SpeakerCentral::targetId() const {
    if (!target_) {
        return std::nullopt;
    }
    return target_->identifier();
}

void SpeakerCentral::makeManager() {
    if (manager_) {
        return;
    }
    if (context_.radio == nullptr) {
        context_.log.error(LogCategory::ble, "speaker: no Bluetooth radio");
        return;
    }
    manager_ = context_.radio->makeCentralManager(context_.main, weak_from_this());
}

bool SpeakerCentral::poweredOn() const {
    return manager_ && manager_->state() == RadioState::poweredOn;
}

bool SpeakerCentral::isTarget(const std::shared_ptr<RemotePeripheral>& peripheral) const {
    // Radios may hand out a fresh object for the same device; the identifier is what counts.
    return target_ && peripheral &&
           (peripheral == target_ || BLEIDs::same(peripheral->identifier(), target_->identifier()));
}

void SpeakerCentral::startScan() {
    wantScan_ = true;
    makeManager();
    if (!poweredOn()) {
        return; // the next powered-on state update scans
    }
    context_.log.info(LogCategory::ble, "speaker: scanning for Merriphonic hosts");
    manager_->scan({std::string(BLEIDs::service)}, true);
}

void SpeakerCentral::stopScan() {
    wantScan_ = false;
    if (manager_ && manager_->isScanning()) {
        manager_->stopScan();
    }
}

void SpeakerCentral::connect(const std::string& id) {
    makeManager();
    if (!poweredOn()) {
        pendingConnect_ = id;
        return;
    }
    const std::string key = upperCase(id);
    std::shared_ptr<RemotePeripheral> peripheral;
    if (const auto known = peripherals_.find(key); known != peripherals_.end()) {
        peripheral = known->second;
    } else if (auto retrieved = manager_->retrievePeripherals({id}); !retrieved.empty()) {
        peripheral = retrieved.front();
    }
    if (!peripheral) {
        reportFailure("That party is no longer nearby.");
        return;
    }
    stopScan();
    disconnect();
    peripherals_[key] = peripheral;
    target_ = peripheral;
    psm_.reset();
    infoName_.reset();
    infoDone_ = false;
    channelRequested_ = false;
    channelOpened_ = false;
    context_.log.info(LogCategory::ble, "speaker: connecting to {}", id);
    manager_->connect(peripheral);
    connectTimeout_ =
        context_.main.after(connectTimeoutNs, [weak = weak_from_this(),
                                               made = std::weak_ptr<RemotePeripheral>(peripheral)] {
            auto self = weak.lock();
            auto peripheral = made.lock();
            if (self && peripheral) {
                self->timedOut(peripheral);
            }
        });
}

void SpeakerCentral::timedOut(const std::shared_ptr<RemotePeripheral>& peripheral) {
    if (target_ != peripheral || channelOpened_) {
        return;
    }
    context_.log.error(LogCategory::ble, "speaker: connect timeout");
    fail("Couldn't reach the host (timed out).");
}

void SpeakerCentral::disconnect() {
    connectTimeout_.cancel();
    pendingConnect_.reset();
    if (auto peripheral = std::exchange(target_, nullptr)) {
        manager_->cancelConnection(peripheral);
    }
}

void SpeakerCentral::fail(const std::string& message) {
    connectTimeout_.cancel();
    if (auto peripheral = std::exchange(target_, nullptr)) {
        manager_->cancelConnection(peripheral);
    }
    reportFailure(message);
}

void SpeakerCentral::reportFailure(const std::string& message) {
    if (const auto callback = onConnectFailed) {
        callback(message);
    }
}

void SpeakerCentral::discard(const std::shared_ptr<L2capChannel>& channel) {
    if (!channel) {
        return;
    }
    // Nobody will read this channel; closing it tells the host at once instead of leaving it
    // a speaker that never speaks. Streams are touched on their own loop only.
    context_.streams.post([channel] {
        if (channel->streams.input) {
            channel->streams.input->close();
        }
        if (channel->streams.output) {
            channel->streams.output->close();
        }
    });
}

// ---- delegate ----------------------------------------------------------------------------

void SpeakerCentral::centralStateChanged(RadioState state) {
    context_.log.info(LogCategory::ble, "speaker: central state {}", radioStateName(state));
    if (const auto callback = onState) {
        callback(state);
    }
    if (state != RadioState::poweredOn) {
        return;
    }
    if (wantScan_) {
        startScan();
    }
    if (pendingConnect_) {
        const std::string id = *std::exchange(pendingConnect_, std::nullopt);
        connect(id);
    }
}

void SpeakerCentral::peripheralDiscovered(std::shared_ptr<RemotePeripheral> peripheral,
                                          const Advertisement& advertisement, int rssi) {
    if (!peripheral) {
        return;
    }
    std::string id = peripheral->identifier();
    peripherals_[upperCase(id)] = std::move(peripheral);
    const DiscoveredHost host =
        DiscoveredHost::from(std::move(id), advertisement.localName, rssi, context_.clock.nowNs());
    if (const auto callback = onDiscovered) {
        callback(host);
    }
}

void SpeakerCentral::peripheralConnected(std::shared_ptr<RemotePeripheral> peripheral) {
    if (!isTarget(peripheral)) {
        return;
    }
    context_.log.info(LogCategory::ble, "speaker: GATT connected, discovering service");
    target_->discoverServices({std::string(BLEIDs::service)});
}

void SpeakerCentral::peripheralFailedToConnect(std::shared_ptr<RemotePeripheral> peripheral,
                                               const std::optional<RadioError>& error) {
    if (!isTarget(peripheral)) {
        return;
    }
    context_.log.error(LogCategory::ble, "speaker: connect failed: {}", describe(error, "-"));
    fail("Couldn't connect: " + describe(error, "unknown error"));
}

void SpeakerCentral::peripheralDisconnected(std::shared_ptr<RemotePeripheral> peripheral,
                                            const std::optional<RadioError>& error) {
    if (!isTarget(peripheral)) {
        return;
    }
    target_ = nullptr;
    connectTimeout_.cancel();
    context_.log.info(LogCategory::ble, "speaker: GATT disconnected: {}", describe(error, "-"));
    if (!channelOpened_) {
        reportFailure("Disconnected while connecting: " + describe(error, "unknown"));
        return;
    }
    if (const auto callback = onDisconnected) {
        callback(describe(error, "Disconnected"));
    }
}

void SpeakerCentral::servicesDiscovered(std::shared_ptr<RemotePeripheral> peripheral,
                                        const std::optional<RadioError>& error) {
    if (!isTarget(peripheral)) {
        return;
    }
    const std::vector<std::string> services =
        error ? std::vector<std::string>{} : target_->services();
    const auto service = std::find_if(services.begin(), services.end(), [](const auto& uuid) {
        return BLEIDs::same(uuid, BLEIDs::service);
    });
    if (service == services.end()) {
        fail("This device isn't hosting a Merriphonic party.");
        return;
    }
    target_->discoverCharacteristics({std::string(BLEIDs::psm), std::string(BLEIDs::info)},
                                     *service);
}

void SpeakerCentral::characteristicsDiscovered(std::shared_ptr<RemotePeripheral> peripheral,
                                               const std::string& serviceUuid,
                                               const std::optional<RadioError>& error) {
    if (!isTarget(peripheral)) {
        return;
    }
    const std::vector<std::string> characteristics =
        error ? std::vector<std::string>{} : target_->characteristics(serviceUuid);
    const auto has = [&](std::string_view uuid) {
        return std::any_of(characteristics.begin(), characteristics.end(),
                           [uuid](const auto& found) { return BLEIDs::same(found, uuid); });
    };
    if (!has(BLEIDs::psm)) {
        fail("Host is missing its channel info.");
        return;
    }
    // The target may change inside a read that fails at once; keep the one asked.
    const std::shared_ptr<RemotePeripheral> host = target_;
    host->readValue(serviceUuid, std::string(BLEIDs::psm));
    if (has(BLEIDs::info)) {
        host->readValue(serviceUuid, std::string(BLEIDs::info));
    } else {
        infoDone_ = true; // joined under its advertised name
    }
}

void SpeakerCentral::valueUpdated(std::shared_ptr<RemotePeripheral> peripheral,
                                  const std::string& characteristicUuid,
                                  const std::optional<Bytes>& value,
                                  const std::optional<RadioError>& error) {
    if (!isTarget(peripheral)) {
        return;
    }
    if (BLEIDs::same(characteristicUuid, BLEIDs::psm)) {
        readPsm(value, error);
    } else if (BLEIDs::same(characteristicUuid, BLEIDs::info)) {
        readInfo(value, error);
    } else {
        openChannelIfReady();
    }
}

void SpeakerCentral::readPsm(const std::optional<Bytes>& value,
                             const std::optional<RadioError>& error) {
    if (error || !value || value->size() < 2) {
        fail("Couldn't read the host's channel number.");
        return;
    }
    psm_ = static_cast<uint16_t>((*value)[0] | ((*value)[1] << 8));
    context_.log.info(LogCategory::ble, "speaker: host PSM {}", *psm_);
    openChannelIfReady();
}

void SpeakerCentral::readInfo(const std::optional<Bytes>& value,
                              const std::optional<RadioError>& error) {
    infoDone_ = true;
    if (!error && value) {
        // The info record only names the party; anything wrong with it is not worth failing
        // a join for.
        try {
            const JsonValue info = JsonParser::parse(ByteView(*value));
            if (const JsonValue* name = info["name"]) {
                if (const std::string* text = name->stringValue(); text && !text->empty()) {
                    infoName_ = *text;
                }
            }
        } catch (const std::exception&) {
            // not JSON: joined under the advertised name
        }
    }
    openChannelIfReady();
}

void SpeakerCentral::openChannelIfReady() {
    if (!psm_ || !infoDone_ || channelRequested_ || !target_) {
        return;
    }
    channelRequested_ = true;
    context_.log.info(LogCategory::ble, "speaker: opening L2CAP channel to PSM {}", *psm_);
    target_->openL2capChannel(*psm_);
}

void SpeakerCentral::channelOpened(std::shared_ptr<RemotePeripheral> peripheral,
                                   std::shared_ptr<L2capChannel> channel,
                                   const std::optional<RadioError>& error) {
    if (!isTarget(peripheral)) {
        discard(channel);
        return;
    }
    connectTimeout_.cancel();
    if (!error && channel) {
        channelOpened_ = true;
        context_.log.info(LogCategory::ble, "speaker: L2CAP channel open");
        if (const auto callback = onChannel) {
            callback(std::move(channel), infoName_);
        }
        return;
    }
    discard(channel);
    context_.log.error(LogCategory::ble, "speaker: L2CAP open failed: {}", describe(error, "-"));
    fail("Couldn't open the audio channel: " + describe(error, "unknown error"));
}

} // namespace merriphonic
