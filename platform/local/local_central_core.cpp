#include "platform/local/local_central_core.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QObject>
#include <QString>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "platform/files.h"
#include "platform/local/local_central_manager.h"
#include "platform/local/local_hello.h"
#include "platform/local/local_rendezvous.h"
#include "platform/qt/fd_byte_stream.h"
#include "platform/shared_radio_managers.h"
#include "platform/unique_fd.h"

namespace merriphonic {

namespace {

constexpr const char* goneText = "the host has gone away";
constexpr const char* notConnectedText = "not connected";
// A host's listen queue is full: try again shortly, for up to five seconds.
constexpr int64_t connectRetryNs = 20'000'000;
constexpr int connectAttempts = 250;

using Link = LocalRemotePeripheral::Link;

RadioError radioError(std::string description) {
    return RadioError{std::move(description)};
}

bool wanted(const std::vector<std::string>& uuids, const std::string& uuid) {
    return uuids.empty() || std::any_of(uuids.begin(), uuids.end(), [&](const auto& candidate) {
               return sameUuid(candidate, uuid);
           });
}

} // namespace

LocalCentralCore::LocalCentralCore(RunLoop& main, std::weak_ptr<CentralManagerDelegate> delegate,
                                   const LocalRadioOptions& options)
    : LocalManagerCore(options), main_(main), delegate_(std::move(delegate)) {}

void LocalCentralCore::start() {
    post([state = state_](LocalCentralCore&, CentralManagerDelegate& delegate) {
        delegate.centralStateChanged(state);
    });
}

void LocalCentralCore::scan(const std::vector<std::string>& serviceUuids, bool allowDuplicates) {
    if (!rendezvous_) {
        return;
    }
    scanning_ = true;
    filter_ = serviceUuids;
    allowDuplicates_ = allowDuplicates;
    reported_.clear();
    if (!watcher_) {
        watcher_ = std::make_unique<QFileSystemWatcher>();
        watcher_->addPath(QString::fromStdString(rendezvous_->folder().string()));
        QObject::connect(watcher_.get(), &QFileSystemWatcher::directoryChanged, watcher_.get(),
                         [weak = weak_from_this()](const QString&) {
                             if (const auto self = weak.lock()) {
                                 self->requestRescan();
                             }
                         });
    }
    requestRescan();
    updateBeat();
}

void LocalCentralCore::stopScan() {
    scanning_ = false;
    watcher_.reset();
    updateBeat();
}

std::vector<std::shared_ptr<RemotePeripheral>>
LocalCentralCore::retrievePeripherals(const std::vector<std::string>& identifiers) {
    std::vector<std::shared_ptr<RemotePeripheral>> found;
    for (const auto& identifier : identifiers) {
        const auto id = canonicalUuid(identifier);
        if (!id) {
            continue;
        }
        if (const auto known = known_.find(*id); known != known_.end()) {
            found.push_back(known->second);
        } else if (rendezvous_ && rendezvous_->liveRecord(*id)) {
            found.push_back(peripheral(*id));
        }
    }
    return found;
}

void LocalCentralCore::connect(std::shared_ptr<RemotePeripheral> peripheral) {
    const auto target = handedOut(known_, peripheral);
    if (!target) {
        return;
    }
    target->link = Link::connecting;
    const uint64_t generation = ++target->generation;
    post([target, generation](LocalCentralCore& self, CentralManagerDelegate& delegate) {
        if (target->generation != generation || target->link != Link::connecting) {
            return;
        }
        if (self.recordOf(*target)) {
            target->link = Link::connected;
            self.updateBeat();
            delegate.peripheralConnected(target);
        } else {
            target->link = Link::disconnected;
            delegate.peripheralFailedToConnect(target, radioError(self.unreachableText()));
        }
    });
}

void LocalCentralCore::cancelConnection(std::shared_ptr<RemotePeripheral> peripheral) {
    const auto target = handedOut(known_, peripheral);
    if (!target) {
        return;
    }
    target->link = Link::disconnected;
    ++target->generation;
    updateBeat();
}

std::optional<LocalRecord> LocalCentralCore::recordOf(const LocalRemotePeripheral& target) const {
    if (!rendezvous_) {
        return std::nullopt;
    }
    return rendezvous_->liveRecord(target.identifier());
}

std::string LocalCentralCore::unreachableText() const {
    if (!rendezvous_) {
        return unavailableText();
    }
    return goneText;
}

void LocalCentralCore::openChannel(const std::shared_ptr<LocalRemotePeripheral>& target,
                                   uint64_t generation, uint16_t psm, int attempt) {
    if (target->generation != generation) {
        return;
    }
    const auto fail = [&](std::string description) {
        log_.error(LogCategory::ble, "local radio: opening PSM {} failed: {}", psm, description);
        post([target, description = std::move(description)](LocalCentralCore&,
                                                            CentralManagerDelegate& delegate) {
            delegate.channelOpened(target, nullptr, radioError(description));
        });
    };
    if (target->link != Link::connected) {
        fail(notConnectedText);
        return;
    }
    const auto record = recordOf(*target);
    if (!record) {
        fail(goneText);
        return;
    }
    const LocalChannelRecord* channel = record->channel(psm);
    if (channel == nullptr) {
        fail("no channel is published on PSM " + std::to_string(psm));
        return;
    }
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd) {
        fail(errnoText(errno));
        return;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (channel->socketPath.size() >= sizeof(address.sun_path)) {
        fail("socket path too long");
        return;
    }
    std::strncpy(address.sun_path, channel->socketPath.c_str(), sizeof(address.sun_path) - 1);
    int result = 0;
    do {
        result = ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        const int error = errno;
        fd.close();
        if (error == EAGAIN && attempt + 1 < connectAttempts) {
            main_.after(connectRetryNs,
                        [weak = weak_from_this(), target, generation, psm, attempt] {
                            if (const auto self = weak.lock()) {
                                self->openChannel(target, generation, psm, attempt + 1);
                            }
                        });
            return;
        }
        fail(errnoText(error));
        return;
    }
    // A fresh socket's buffer takes the short line whole.
    const std::string hello = LocalHello::line(instanceId_);
    if (::send(fd.get(), hello.data(), hello.size(), MSG_NOSIGNAL | MSG_DONTWAIT) !=
        static_cast<ssize_t>(hello.size())) {
        fail(errnoText(errno));
        return;
    }
    auto opened = std::make_shared<L2capChannel>();
    opened->peerId = target->identifier();
    opened->streams = makeFdStreamPair(fd.release(), streams_);
    post([target, opened = std::move(opened)](LocalCentralCore&, CentralManagerDelegate& delegate) {
        delegate.channelOpened(target, opened, std::nullopt);
    });
}

std::shared_ptr<LocalRemotePeripheral> LocalCentralCore::peripheral(const std::string& id) {
    auto& slot = known_[id];
    if (!slot) {
        slot = std::make_shared<LocalRemotePeripheral>(weak_from_this(), id);
    }
    return slot;
}

void LocalCentralCore::requestRescan() {
    if (rescanQueued_) {
        return;
    }
    rescanQueued_ = true;
    main_.post([weak = weak_from_this()] {
        if (const auto self = weak.lock()) {
            self->rescanQueued_ = false;
            self->rescan();
        }
    });
}

void LocalCentralCore::updateBeat() {
    const bool linked = std::any_of(known_.begin(), known_.end(), [](const auto& entry) {
        return entry.second->link == Link::connected;
    });
    if (!scanning_ && !linked) {
        beat_.cancel();
        return;
    }
    if (!beat_.isActive()) {
        beat_ = main_.every(LocalCentralManager::rescanPeriodNs, [weak = weak_from_this()] {
            if (const auto self = weak.lock()) {
                self->rescan();
            }
        });
    }
}

void LocalCentralCore::rescan() {
    if (!rendezvous_) {
        return;
    }
    const std::vector<LocalRecord> records = rendezvous_->liveRecords();
    std::set<std::string> live;
    for (const auto& record : records) {
        live.insert(record.instanceId);
        if (scanning_ && record.advertises(filter_) &&
            (allowDuplicates_ || reported_.insert(record.instanceId).second)) {
            report(record);
        }
    }
    for (const auto& entry : known_) {
        const std::shared_ptr<LocalRemotePeripheral>& lost = entry.second;
        if (lost->link == Link::connected && !live.contains(entry.first)) {
            lost->link = Link::disconnected;
            ++lost->generation;
            post([lost](LocalCentralCore&, CentralManagerDelegate& delegate) {
                delegate.peripheralDisconnected(lost, radioError(goneText));
            });
        }
    }
    updateBeat();
}

void LocalCentralCore::report(const LocalRecord& record) {
    Advertisement advertisement;
    if (!record.advertisement.localName.empty()) {
        advertisement.localName = record.advertisement.localName;
    }
    advertisement.serviceUuids = record.advertisement.serviceUuids;
    post([found = peripheral(record.instanceId), advertisement = std::move(advertisement)](
             LocalCentralCore& self, CentralManagerDelegate& delegate) {
        // A scan stopped after this report was queued reports nothing more.
        if (self.scanning_) {
            delegate.peripheralDiscovered(found, advertisement, LocalCentralManager::rssi);
        }
    });
}

void LocalRemotePeripheral::discoverServices(const std::vector<std::string>& serviceUuids) {
    const auto core = core_.lock();
    if (!core) {
        return;
    }
    core->post([self = shared_from_this(), serviceUuids](LocalCentralCore& core,
                                                         CentralManagerDelegate& delegate) {
        if (self->link != Link::connected) {
            delegate.servicesDiscovered(self, radioError(notConnectedText));
            return;
        }
        const auto record = core.recordOf(*self);
        if (!record) {
            delegate.servicesDiscovered(self, radioError(goneText));
            return;
        }
        self->discoveredServices.clear();
        for (const auto& service : record->services) {
            if (wanted(serviceUuids, service.uuid)) {
                self->discoveredServices.push_back(service.uuid);
            }
        }
        delegate.servicesDiscovered(self, std::nullopt);
    });
}

void LocalRemotePeripheral::discoverCharacteristics(
    const std::vector<std::string>& characteristicUuids, const std::string& serviceUuid) {
    const auto core = core_.lock();
    if (!core) {
        return;
    }
    core->post([self = shared_from_this(), characteristicUuids,
                serviceUuid](LocalCentralCore& core, CentralManagerDelegate& delegate) {
        const auto fail = [&](const char* text) {
            delegate.characteristicsDiscovered(self, serviceUuid, radioError(text));
        };
        if (self->link != Link::connected) {
            fail(notConnectedText);
            return;
        }
        const auto record = core.recordOf(*self);
        if (!record) {
            fail(goneText);
            return;
        }
        const GattServiceSpec* service = record->service(serviceUuid);
        if (service == nullptr) {
            fail("no such service");
            return;
        }
        std::vector<std::string> found;
        for (const auto& characteristic : service->characteristics) {
            if (wanted(characteristicUuids, characteristic.uuid)) {
                found.push_back(characteristic.uuid);
            }
        }
        self->discoveredCharacteristics[service->uuid] = std::move(found);
        delegate.characteristicsDiscovered(self, serviceUuid, std::nullopt);
    });
}

void LocalRemotePeripheral::readValue(const std::string& serviceUuid,
                                      const std::string& characteristicUuid) {
    const auto core = core_.lock();
    if (!core) {
        return;
    }
    core->post([self = shared_from_this(), serviceUuid,
                characteristicUuid](LocalCentralCore& core, CentralManagerDelegate& delegate) {
        const auto fail = [&](const char* text) {
            delegate.valueUpdated(self, characteristicUuid, std::nullopt, radioError(text));
        };
        if (self->link != Link::connected) {
            fail(notConnectedText);
            return;
        }
        const auto record = core.recordOf(*self);
        if (!record) {
            fail(goneText);
            return;
        }
        const GattCharacteristicSpec* characteristic =
            record->characteristic(serviceUuid, characteristicUuid);
        if (characteristic == nullptr) {
            fail("no such characteristic");
            return;
        }
        delegate.valueUpdated(self, characteristic->uuid, characteristic->value, std::nullopt);
    });
}

void LocalRemotePeripheral::openL2capChannel(uint16_t psm) {
    const auto core = core_.lock();
    if (!core) {
        return;
    }
    core->post([self = shared_from_this(), psm, generation = generation](LocalCentralCore& core,
                                                                         CentralManagerDelegate&) {
        core.openChannel(self, generation, psm, 0);
    });
}

} // namespace merriphonic
