#include "transport/host_peripheral.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "core/json_value.h"
#include "core/json_writer.h"
#include "core/platform.h"
#include "core/sync_protocol.h"
#include "core/utf8.h"
#include "transport/ble_ids.h"

namespace merriphonic {

std::shared_ptr<HostPeripheral> HostPeripheral::create(DeviceContext& context) {
    return std::make_shared<HostPeripheral>(Private{}, context);
}

HostPeripheral::HostPeripheral(Private /*unused*/, DeviceContext& context) : context_(context) {}

HostPeripheral::~HostPeripheral() = default;

Bytes HostPeripheral::psmValue(uint16_t psm) {
    return {static_cast<uint8_t>(psm & 0xFF), static_cast<uint8_t>(psm >> 8)};
}

Bytes HostPeripheral::infoValue(const std::string& partyName) {
    const auto write = [](std::string name) {
        const JsonObject info{
            {"v", JsonValue::integer(SyncProtocol::version)},
            {"name", JsonValue::string(std::move(name))},
            {"platform", JsonValue::string(std::string(rawValue(currentPlatform)))},
        };
        return JsonWriter::data(JsonValue::object(info));
    };
    Bytes value = write(partyName);
    if (value.size() <= maxInfoBytes) {
        return value;
    }
    // A reader gets at most an attribute's worth of bytes, and a cut record is no JSON at all:
    // a very long name is shortened, whole characters at a time, until the record fits.
    std::vector<size_t> ends;
    for (size_t at = 0; at < partyName.size();) {
        at += utf8::sequenceAt(partyName, at).length;
        ends.push_back(at);
    }
    size_t keep = ends.size();
    while (value.size() > maxInfoBytes && keep > 0) {
        const size_t excess = value.size() - maxInfoBytes;
        // Each character takes at least one byte of the record: drop as many as it is over.
        keep -= std::min(keep, std::max<size_t>(1, excess / 6));
        value = write(partyName.substr(0, keep == 0 ? 0 : ends[keep - 1]));
    }
    return value;
}

GattServiceSpec HostPeripheral::service(uint16_t psm, const std::string& partyName) {
    GattServiceSpec spec;
    spec.uuid = std::string(BLEIDs::service);
    spec.primary = true;
    spec.characteristics = {
        GattCharacteristicSpec{std::string(BLEIDs::psm), psmValue(psm)},
        GattCharacteristicSpec{std::string(BLEIDs::info), infoValue(partyName)},
    };
    return spec;
}

void HostPeripheral::start(std::string partyName) {
    const bool sameName = partyName == partyName_;
    partyName_ = std::move(partyName);
    if (wantRunning_ && psm_ && poweredOn()) {
        // Already running on a published channel: only a new name or an earlier failure
        // needs the service (and the advertising that follows it) made again.
        if (sameName && !phase_.is(Phase::Kind::failed)) {
            return;
        }
        setPhase(Phase::starting());
        if (manager_->isAdvertising()) {
            manager_->stopAdvertising();
        }
        addService();
        return;
    }
    wantRunning_ = true;
    setPhase(Phase::starting());
    if (manager_) {
        if (poweredOn()) {
            publish();
        }
        return; // otherwise the next state update continues
    }
    if (context_.radio == nullptr) {
        context_.log.error(LogCategory::ble, "host: no Bluetooth radio");
        return;
    }
    manager_ = context_.radio->makePeripheralManager(context_.main, weak_from_this());
}

void HostPeripheral::stop() {
    wantRunning_ = false;
    if (!manager_) {
        return;
    }
    if (manager_->isAdvertising()) {
        manager_->stopAdvertising();
    }
    manager_->removeAllServices();
    if (psm_) {
        manager_->unpublishChannel(*psm_);
        psm_.reset();
    }
    setPhase(Phase::idle());
    context_.log.info(LogCategory::ble, "host: stopped advertising");
}

bool HostPeripheral::poweredOn() const {
    return manager_ && manager_->state() == RadioState::poweredOn;
}

void HostPeripheral::publish() {
    if (!wantRunning_ || psm_ || !manager_ || publishPending_) {
        return;
    }
    context_.log.info(LogCategory::ble, "host: publishing L2CAP channel (no encryption)");
    publishPending_ = true;
    manager_->publishChannel(false);
}

void HostPeripheral::addService() {
    const GattServiceSpec spec = service(*psm_, partyName_);
    manager_->removeAllServices();
    manager_->addService(spec);
}

void HostPeripheral::setPhase(Phase phase) {
    if (phase == phase_) {
        return;
    }
    phase_ = std::move(phase);
    if (const auto callback = onPhase) {
        callback(phase_);
    }
}

void HostPeripheral::peripheralStateChanged(RadioState state) {
    context_.log.info(LogCategory::ble, "host: peripheral manager state {}", radioStateName(state));
    if (const auto callback = onState) {
        callback(state);
    }
    if (state == RadioState::poweredOn) {
        publish();
        return;
    }
    // The radio forgets published channels when it goes off; so do we, and a pending
    // publication will not be answered.
    psm_.reset();
    publishPending_ = false;
    if (wantRunning_) {
        setPhase(Phase::starting());
    }
}

void HostPeripheral::channelPublished(uint16_t psm, const std::optional<RadioError>& error) {
    publishPending_ = false;
    if (error) {
        context_.log.error(LogCategory::ble, "host: publishL2CAPChannel failed: {}",
                           error->description);
        // A failure that arrives after stop() is no longer the user's concern.
        if (wantRunning_) {
            setPhase(Phase::failed("Couldn't open a Bluetooth channel: " + error->description));
        }
        return;
    }
    if (!manager_) {
        return;
    }
    // Stopped meanwhile, or a second publication answered after the first: nobody will
    // ever use this PSM, so it must not stay published.
    if (!wantRunning_ || psm_) {
        manager_->unpublishChannel(psm);
        return;
    }
    psm_ = psm;
    context_.log.info(LogCategory::ble, "host: L2CAP PSM {}", psm);
    addService();
}

void HostPeripheral::serviceAdded(const GattServiceSpec& service,
                                  const std::optional<RadioError>& error) {
    if (error) {
        context_.log.error(LogCategory::ble, "host: add service failed: {}", error->description);
        if (wantRunning_) {
            setPhase(Phase::failed("Couldn't start the Bluetooth service: " + error->description));
        }
        return;
    }
    if (!wantRunning_ || !psm_ || !manager_) {
        return;
    }
    // A service built for an earlier PSM (stop and start again before it was added) must
    // not start advertising; the one for the current PSM will.
    for (const GattCharacteristicSpec& characteristic : service.characteristics) {
        if (BLEIDs::same(characteristic.uuid, BLEIDs::psm) &&
            characteristic.value != psmValue(*psm_)) {
            return;
        }
    }
    manager_->startAdvertising(AdvertisingData{{std::string(BLEIDs::service)}, partyName_});
}

void HostPeripheral::advertisingStarted(const std::optional<RadioError>& error) {
    if (error) {
        context_.log.error(LogCategory::ble, "host: advertising failed: {}", error->description);
        if (wantRunning_) {
            setPhase(Phase::failed("Couldn't advertise: " + error->description));
        }
        return;
    }
    if (!wantRunning_) {
        // Asked for before stop(); a radio that reports advertising only from now on was
        // not stopped by it.
        if (manager_ && manager_->isAdvertising()) {
            manager_->stopAdvertising();
        }
        return;
    }
    context_.log.info(LogCategory::ble, "host: advertising \"{}\"", partyName_);
    setPhase(Phase::advertising());
}

void HostPeripheral::channelOpened(std::shared_ptr<L2capChannel> channel,
                                   const std::optional<RadioError>& error) {
    if (error || !channel) {
        context_.log.error(LogCategory::ble, "host: incoming L2CAP open failed: {}",
                           error ? error->description : std::string("unknown error"));
        return;
    }
    context_.log.info(LogCategory::ble, "host: L2CAP channel opened by {}", channel->peerId);
    if (const auto callback = onChannel) {
        callback(std::move(channel));
    }
}

void HostPeripheral::channelUnpublished(uint16_t psm, const std::optional<RadioError>& /*error*/) {
    context_.log.info(LogCategory::ble, "host: unpublished PSM {}", psm);
}

} // namespace merriphonic
