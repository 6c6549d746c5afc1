#include "platform/local/local_central_manager.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QFileSystemWatcher>
#include <QObject>
#include <QString>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <system_error>
#include <utility>

#include "core/uuid.h"
#include "platform/local/local_hello.h"
#include "platform/local/local_rendezvous.h"
#include "platform/qt/fd_byte_stream.h"
#include "platform/qt/stream_thread.h"

namespace merriphonic {

namespace {

constexpr const char* goneText = "the host has gone away";
constexpr const char* notConnectedText = "not connected";
// A host's listen queue is full: try again shortly, for up to five seconds.
constexpr int64_t connectRetryNs = 20'000'000;
constexpr int connectAttempts = 250;

std::string systemError(int error) {
    return std::system_category().message(error);
}

RadioError radioError(std::string description) {
    return RadioError{std::move(description)};
}

enum class Link { disconnected, connecting, connected };

bool wanted(const std::vector<std::string>& uuids, const std::string& uuid) {
    return uuids.empty() || std::any_of(uuids.begin(), uuids.end(), [&](const auto& candidate) {
               return sameUuid(candidate, uuid);
           });
}

} // namespace

class LocalCentralManager::Peripheral final : public RemotePeripheral,
                                              public std::enable_shared_from_this<Peripheral> {
public:
    Peripheral(std::weak_ptr<Core> core, std::string id)
        : core_(std::move(core)), id_(std::move(id)) {}

    [[nodiscard]] std::string identifier() const override { return id_; }
    void discoverServices(const std::vector<std::string>& serviceUuids) override;
    [[nodiscard]] std::vector<std::string> services() const override { return discoveredServices; }
    void discoverCharacteristics(const std::vector<std::string>& characteristicUuids,
                                 const std::string& serviceUuid) override;
    [[nodiscard]] std::vector<std::string>
    characteristics(const std::string& serviceUuid) const override {
        for (const auto& [service, uuids] : discoveredCharacteristics) {
            if (sameUuid(service, serviceUuid)) {
                return uuids;
            }
        }
        return {};
    }
    void readValue(const std::string& serviceUuid, const std::string& characteristicUuid) override;
    void openL2capChannel(uint16_t psm) override;

    // Main loop only, kept by the core.
    Link link = Link::disconnected;
    // Advanced by every connect and cancel, so that work begun for an earlier link is dropped.
    uint64_t generation = 0;
    std::vector<std::string> discoveredServices;
    std::map<std::string, std::vector<std::string>> discoveredCharacteristics;

private:
    std::weak_ptr<Core> core_;
    const std::string id_;
};

class LocalCentralManager::Core : public std::enable_shared_from_this<Core> {
public:
    Core(RunLoop& main, std::weak_ptr<CentralManagerDelegate> delegate,
         const LocalRadioOptions& options)
        : main_(main),
          streams_(options.streams != nullptr ? *options.streams : StreamThread::shared()),
          delegate_(std::move(delegate)), log_(options.log), instanceId_(randomUuid()) {
        rendezvous_ = LocalRendezvous::open(options.folder, unavailableReason_);
        if (rendezvous_) {
            state_ = RadioState::poweredOn;
        } else {
            log_.error(LogCategory::ble, "local radio: rendezvous folder unusable: {}",
                       unavailableReason_);
        }
    }

    Core(const Core&) = delete;
    Core& operator=(const Core&) = delete;
    ~Core() = default;

    void start() {
        post([state = state_](Core&, CentralManagerDelegate& delegate) {
            delegate.centralStateChanged(state);
        });
    }

    [[nodiscard]] RadioState state() const { return state_; }
    [[nodiscard]] bool isScanning() const { return scanning_; }
    [[nodiscard]] const std::string& instanceId() const { return instanceId_; }

    void scan(const std::vector<std::string>& serviceUuids, bool allowDuplicates) {
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

    void stopScan() {
        scanning_ = false;
        watcher_.reset();
        updateBeat();
    }

    std::vector<std::shared_ptr<RemotePeripheral>>
    retrieve(const std::vector<std::string>& identifiers) {
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

    void connect(const std::shared_ptr<Peripheral>& target) {
        target->link = Link::connecting;
        const uint64_t generation = ++target->generation;
        post([target, generation](Core& self, CentralManagerDelegate& delegate) {
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

    void cancel(const std::shared_ptr<Peripheral>& target) {
        target->link = Link::disconnected;
        ++target->generation;
        updateBeat();
    }

    // The record of the target's host, while that host is live.
    std::optional<LocalRecord> recordOf(const Peripheral& target) const {
        if (!rendezvous_) {
            return std::nullopt;
        }
        return rendezvous_->liveRecord(target.identifier());
    }

    [[nodiscard]] std::string unreachableText() const {
        if (!rendezvous_) {
            return "the local radio is unavailable: " + unavailableReason_;
        }
        return goneText;
    }

    // Runs fn on the main loop later, with this core and the delegate, if both still exist.
    template <typename Fn>
    void post(Fn fn) {
        main_.post([weak = weak_from_this(), fn = std::move(fn)]() mutable {
            const auto self = weak.lock();
            if (!self) {
                return;
            }
            if (const auto delegate = self->delegate_.lock()) {
                fn(*self, *delegate);
            }
        });
    }

    // One attempt at opening a channel for the link of the given generation.
    void openChannel(const std::shared_ptr<Peripheral>& target, uint64_t generation, uint16_t psm,
                     int attempt) {
        if (target->generation != generation) {
            return;
        }
        const auto fail = [&](std::string description) {
            log_.error(LogCategory::ble, "local radio: opening PSM {} failed: {}", psm,
                       description);
            post([target, description = std::move(description)](Core&,
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
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            fail(systemError(errno));
            return;
        }
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (channel->socketPath.size() >= sizeof(address.sun_path)) {
            ::close(fd);
            fail("socket path too long");
            return;
        }
        std::strncpy(address.sun_path, channel->socketPath.c_str(), sizeof(address.sun_path) - 1);
        int result = 0;
        do {
            result = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
        } while (result != 0 && errno == EINTR);
        if (result != 0) {
            const int error = errno;
            ::close(fd);
            if (error == EAGAIN && attempt + 1 < connectAttempts) {
                main_.after(connectRetryNs,
                            [weak = weak_from_this(), target, generation, psm, attempt] {
                                if (const auto self = weak.lock()) {
                                    self->openChannel(target, generation, psm, attempt + 1);
                                }
                            });
                return;
            }
            fail(systemError(error));
            return;
        }
        // A fresh socket's buffer takes the short line whole.
        const std::string hello = LocalHello::line(instanceId_);
        if (::send(fd, hello.data(), hello.size(), MSG_NOSIGNAL | MSG_DONTWAIT) !=
            static_cast<ssize_t>(hello.size())) {
            const int error = errno;
            ::close(fd);
            fail(systemError(error));
            return;
        }
        auto opened = std::make_shared<L2capChannel>();
        opened->peerId = target->identifier();
        opened->streams = makeFdStreamPair(fd, streams_);
        post([target, opened = std::move(opened)](Core&, CentralManagerDelegate& delegate) {
            delegate.channelOpened(target, opened, std::nullopt);
        });
    }

private:
    std::shared_ptr<Peripheral> peripheral(const std::string& id) {
        auto& slot = known_[id];
        if (!slot) {
            slot = std::make_shared<Peripheral>(weak_from_this(), id);
        }
        return slot;
    }

    void requestRescan() {
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

    // The 100 ms beat runs while scanning or while any link is up.
    void updateBeat() {
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

    void rescan() {
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
            const std::shared_ptr<Peripheral>& lost = entry.second;
            if (lost->link == Link::connected && !live.contains(entry.first)) {
                lost->link = Link::disconnected;
                ++lost->generation;
                post([lost](Core&, CentralManagerDelegate& delegate) {
                    delegate.peripheralDisconnected(lost, radioError(goneText));
                });
            }
        }
        updateBeat();
    }

    void report(const LocalRecord& record) {
        Advertisement advertisement;
        if (!record.advertisement.localName.empty()) {
            advertisement.localName = record.advertisement.localName;
        }
        advertisement.serviceUuids = record.advertisement.serviceUuids;
        post([found = peripheral(record.instanceId), advertisement = std::move(advertisement)](
                 Core& self, CentralManagerDelegate& delegate) {
            // A scan stopped after this report was queued reports nothing more.
            if (self.scanning_) {
                delegate.peripheralDiscovered(found, advertisement, LocalCentralManager::rssi);
            }
        });
    }

    RunLoop& main_;
    RunLoop& streams_;
    std::weak_ptr<CentralManagerDelegate> delegate_;
    Log log_;
    const std::string instanceId_;
    std::optional<LocalRendezvous> rendezvous_;
    std::string unavailableReason_;
    RadioState state_ = RadioState::unsupported;

    bool scanning_ = false;
    std::vector<std::string> filter_;
    bool allowDuplicates_ = false;
    std::set<std::string> reported_;
    std::unique_ptr<QFileSystemWatcher> watcher_;
    bool rescanQueued_ = false;
    ScopedTimer beat_;
    std::map<std::string, std::shared_ptr<Peripheral>> known_;
};

void LocalCentralManager::Peripheral::discoverServices(
    const std::vector<std::string>& serviceUuids) {
    const auto core = core_.lock();
    if (!core) {
        return;
    }
    core->post(
        [self = shared_from_this(), serviceUuids](Core& core, CentralManagerDelegate& delegate) {
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

void LocalCentralManager::Peripheral::discoverCharacteristics(
    const std::vector<std::string>& characteristicUuids, const std::string& serviceUuid) {
    const auto core = core_.lock();
    if (!core) {
        return;
    }
    core->post([self = shared_from_this(), characteristicUuids,
                serviceUuid](Core& core, CentralManagerDelegate& delegate) {
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

void LocalCentralManager::Peripheral::readValue(const std::string& serviceUuid,
                                                const std::string& characteristicUuid) {
    const auto core = core_.lock();
    if (!core) {
        return;
    }
    core->post([self = shared_from_this(), serviceUuid,
                characteristicUuid](Core& core, CentralManagerDelegate& delegate) {
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

void LocalCentralManager::Peripheral::openL2capChannel(uint16_t psm) {
    const auto core = core_.lock();
    if (!core) {
        return;
    }
    core->post([self = shared_from_this(), psm, generation = generation](Core& core,
                                                                         CentralManagerDelegate&) {
        core.openChannel(self, generation, psm, 0);
    });
}

LocalCentralManager::LocalCentralManager(RunLoop& main,
                                         std::weak_ptr<CentralManagerDelegate> delegate,
                                         const LocalRadioOptions& options)
    : core_(std::make_shared<Core>(main, std::move(delegate), options)) {
    core_->start();
}

LocalCentralManager::~LocalCentralManager() = default;

RadioState LocalCentralManager::state() const {
    return core_->state();
}

void LocalCentralManager::scan(const std::vector<std::string>& serviceUuids, bool allowDuplicates) {
    core_->scan(serviceUuids, allowDuplicates);
}

void LocalCentralManager::stopScan() {
    core_->stopScan();
}

bool LocalCentralManager::isScanning() const {
    return core_->isScanning();
}

std::vector<std::shared_ptr<RemotePeripheral>>
LocalCentralManager::retrievePeripherals(const std::vector<std::string>& identifiers) {
    return core_->retrieve(identifiers);
}

void LocalCentralManager::connect(std::shared_ptr<RemotePeripheral> peripheral) {
    if (auto target = std::dynamic_pointer_cast<Peripheral>(peripheral)) {
        core_->connect(target);
    }
}

void LocalCentralManager::cancelConnection(std::shared_ptr<RemotePeripheral> peripheral) {
    if (auto target = std::dynamic_pointer_cast<Peripheral>(peripheral)) {
        core_->cancel(target);
    }
}

const std::string& LocalCentralManager::instanceId() const {
    return core_->instanceId();
}

} // namespace merriphonic
