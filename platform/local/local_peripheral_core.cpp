#include "platform/local/local_peripheral_core.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QObject>
#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <set>
#include <system_error>
#include <utility>

#include "core/uuid.h"
#include "platform/files.h"
#include "platform/local/local_hello.h"
#include "platform/local/local_peripheral_manager.h"
#include "platform/local/local_rendezvous.h"
#include "platform/qt/fd_byte_stream.h"
#include "platform/unique_fd.h"

namespace merriphonic {

namespace {

constexpr int64_t helloDeadlineNs = 5'000'000'000;
// After a failed accept (out of descriptors), how long the listener rests before trying
// again; its pending connection would otherwise wake it without pause.
constexpr int64_t acceptPauseNs = 100'000'000;

RadioError radioError(std::string description) {
    return RadioError{std::move(description)};
}

// A notifier may be deleted only outside its own signal: switched off now, deleted by a later
// task of the loop.
void disposeLater(std::unique_ptr<QSocketNotifier> notifier, RunLoop& main) {
    if (!notifier) {
        return;
    }
    notifier->setEnabled(false);
    std::shared_ptr<QSocketNotifier> doomed(notifier.release());
    main.post([doomed = std::move(doomed)]() mutable { doomed.reset(); });
}

std::string psmName(uint16_t psm) {
    char text[8];
    std::snprintf(text, sizeof(text), "%04x", psm);
    return text;
}

} // namespace

// A listening socket for one published channel.
struct LocalPeripheralCore::Listener {
    uint16_t psm = 0;
    std::filesystem::path path;
    UniqueFd fd;
    std::unique_ptr<QSocketNotifier> notifier;

    Listener() = default;
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;
    ~Listener() {
        notifier.reset();
        if (fd) {
            fd.close();
            ::unlink(path.c_str());
        }
    }
};

// An accepted connection whose hello line has not come in yet.
struct LocalPeripheralCore::PendingChannel {
    UniqueFd fd; // first, so that it closes after the notifier watching it is gone
    std::string line;
    std::unique_ptr<QSocketNotifier> notifier;
    ScopedTimer deadline;
};

LocalPeripheralCore::LocalPeripheralCore(RunLoop& main,
                                         std::weak_ptr<PeripheralManagerDelegate> delegate,
                                         const LocalRadioOptions& options)
    : LocalManagerCore(options), main_(main), delegate_(std::move(delegate)) {
    processStart_ = LocalRendezvous::processStart(::getpid()).value_or(0);
}

LocalPeripheralCore::~LocalPeripheralCore() {
    pending_.clear();
    listeners_.clear();
    if (rendezvous_ && recordWritten_) {
        rendezvous_->remove(instanceId_);
    }
}

void LocalPeripheralCore::start() {
    tell([state = state_](PeripheralManagerDelegate& delegate) {
        delegate.peripheralStateChanged(state);
    });
}

void LocalPeripheralCore::publishChannel(bool /*encrypted*/) {
    const Result<uint16_t, std::string> psm = listen();
    if (!psm) {
        log_.error(LogCategory::ble, "local radio: publishing a channel failed: {}", psm.error());
    }
    tell([psm](PeripheralManagerDelegate& delegate) {
        if (psm) {
            delegate.channelPublished(*psm, std::nullopt);
        } else {
            delegate.channelPublished(0, radioError(psm.error()));
        }
    });
}

void LocalPeripheralCore::unpublishChannel(uint16_t psm) {
    std::optional<RadioError> error;
    if (listeners_.erase(psm) == 0) {
        error = radioError("no channel is published on PSM " + std::to_string(psm));
    } else {
        updateRecord();
    }
    tell([psm, error](PeripheralManagerDelegate& delegate) {
        delegate.channelUnpublished(psm, error);
    });
}

void LocalPeripheralCore::removeAllServices() {
    services_.clear();
    updateRecord();
}

void LocalPeripheralCore::addService(const GattServiceSpec& service) {
    std::optional<std::string> error = unavailable();
    if (!error) {
        auto canonical = canonicalService(service);
        if (!canonical) {
            error = "invalid UUID in service " + service.uuid;
        } else {
            services_.push_back(std::move(*canonical));
            if (Result<Done, std::string> written = writeRecord(); !written) {
                error = written.error();
                services_.pop_back();
            }
        }
    }
    tell([service, error = toRadioError(error)](PeripheralManagerDelegate& delegate) {
        delegate.serviceAdded(service, error);
    });
}

void LocalPeripheralCore::startAdvertising(const AdvertisingData& data) {
    std::optional<std::string> error = unavailable();
    if (!error) {
        AdvertisingData canonical{{}, data.localName};
        for (const auto& uuid : data.serviceUuids) {
            auto text = canonicalUuid(uuid);
            if (!text) {
                error = "invalid service UUID " + uuid;
                break;
            }
            canonical.serviceUuids.push_back(std::move(*text));
        }
        if (!error) {
            const auto previous = std::exchange(advertisement_, std::move(canonical));
            const bool wasAdvertising = std::exchange(advertising_, true);
            if (Result<Done, std::string> written = writeRecord(); !written) {
                error = written.error();
                advertisement_ = previous;
                advertising_ = wasAdvertising;
            }
        }
    }
    tell([error = toRadioError(error)](PeripheralManagerDelegate& delegate) {
        delegate.advertisingStarted(error);
    });
}

void LocalPeripheralCore::stopAdvertising() {
    if (std::exchange(advertising_, false)) {
        updateRecord();
    }
}

std::optional<RadioError>
LocalPeripheralCore::toRadioError(const std::optional<std::string>& text) {
    if (!text) {
        return std::nullopt;
    }
    return radioError(*text);
}

std::optional<std::string> LocalPeripheralCore::unavailable() const {
    if (rendezvous_) {
        return std::nullopt;
    }
    return unavailableText();
}

std::optional<GattServiceSpec>
LocalPeripheralCore::canonicalService(const GattServiceSpec& service) {
    auto uuid = canonicalUuid(service.uuid);
    if (!uuid) {
        return std::nullopt;
    }
    GattServiceSpec canonical{std::move(*uuid), service.primary, {}};
    for (const auto& characteristic : service.characteristics) {
        auto characteristicUuid = canonicalUuid(characteristic.uuid);
        if (!characteristicUuid) {
            return std::nullopt;
        }
        canonical.characteristics.push_back({std::move(*characteristicUuid), characteristic.value});
    }
    return canonical;
}

LocalRecord LocalPeripheralCore::record() const {
    LocalRecord record;
    record.instanceId = instanceId_;
    record.pid = ::getpid();
    record.processStart = processStart_;
    record.advertising = advertising_;
    record.advertisement = advertisement_;
    record.services = services_;
    for (const auto& [psm, listener] : listeners_) {
        record.channels.push_back({psm, listener->path.string()});
    }
    return record;
}

Result<Done, std::string> LocalPeripheralCore::writeRecord() {
    if (!rendezvous_) {
        return unavailableText();
    }
    Result<Done, std::string> written = rendezvous_->write(record());
    if (written) {
        recordWritten_ = true;
    }
    return written;
}

void LocalPeripheralCore::updateRecord() {
    if (!rendezvous_) {
        return;
    }
    if (Result<Done, std::string> written = writeRecord(); !written) {
        log_.error(LogCategory::ble, "local radio: updating the record failed: {}",
                   written.error());
    }
}

std::optional<uint16_t> LocalPeripheralCore::freePsm() const {
    std::set<uint16_t> used;
    for (const auto& record : rendezvous_->liveRecords()) {
        for (const auto& channel : record.channels) {
            used.insert(channel.psm);
        }
    }
    for (const auto& entry : listeners_) {
        used.insert(entry.first);
    }
    std::vector<uint16_t> free;
    for (uint16_t psm = LocalPeripheralManager::firstPsm; psm <= LocalPeripheralManager::lastPsm;
         ++psm) {
        if (!used.contains(psm)) {
            free.push_back(psm);
        }
    }
    if (free.empty()) {
        return std::nullopt;
    }
    std::random_device random;
    return free[std::uniform_int_distribution<size_t>(0, free.size() - 1)(random)];
}

Result<uint16_t, std::string> LocalPeripheralCore::listen() {
    if (auto reason = unavailable()) {
        return *reason;
    }
    const std::optional<uint16_t> psm = freePsm();
    if (!psm) {
        return std::string("no free channel number");
    }
    auto path = rendezvous_->socketPath(instanceId_ + "-" + psmName(*psm) + ".sock");
    if (!path) {
        return path.error();
    }
    auto listener = std::make_unique<Listener>();
    listener->psm = *psm;
    listener->fd = UniqueFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!listener->fd) {
        return errnoText(errno);
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path->c_str(), sizeof(address.sun_path) - 1);
    ::unlink(path->c_str());
    if (::bind(listener->fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) !=
        0) {
        return path->string() + ": " + errnoText(errno);
    }
    listener->path = *path;
    if (::listen(listener->fd.get(), SOMAXCONN) != 0) {
        return errnoText(errno);
    }
    listener->notifier =
        std::make_unique<QSocketNotifier>(listener->fd.get(), QSocketNotifier::Read);
    QObject::connect(listener->notifier.get(), &QSocketNotifier::activated,
                     listener->notifier.get(), [weak = weak_from_this(), psm = *psm] {
                         if (const auto self = weak.lock()) {
                             self->acceptAll(psm);
                         }
                     });
    listeners_.emplace(*psm, std::move(listener));
    if (Result<Done, std::string> written = writeRecord(); !written) {
        listeners_.erase(*psm);
        return written.error();
    }
    return *psm;
}

void LocalPeripheralCore::acceptAll(uint16_t psm) {
    const auto found = listeners_.find(psm);
    if (found == listeners_.end()) {
        return;
    }
    Listener& listener = *found->second;
    while (true) {
        const int fd = ::accept4(listener.fd.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            awaitHello(fd);
            continue;
        }
        const int error = errno;
        if (error == EINTR || error == ECONNABORTED) {
            continue;
        }
        if (error == EAGAIN || error == EWOULDBLOCK) {
            return;
        }
        failChannel("accepting a channel failed: " + errnoText(error));
        listener.notifier->setEnabled(false);
        main_.after(acceptPauseNs, [weak = weak_from_this(), psm] {
            if (const auto self = weak.lock()) {
                const auto again = self->listeners_.find(psm);
                if (again != self->listeners_.end()) {
                    again->second->notifier->setEnabled(true);
                }
            }
        });
        return;
    }
}

void LocalPeripheralCore::awaitHello(int fd) {
    const uint64_t id = nextPendingId_++;
    auto pending = std::make_unique<PendingChannel>();
    pending->fd = UniqueFd(fd);
    pending->notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    QObject::connect(pending->notifier.get(), &QSocketNotifier::activated, pending->notifier.get(),
                     [weak = weak_from_this(), id] {
                         if (const auto self = weak.lock()) {
                             self->readHello(id);
                         }
                     });
    pending->deadline = main_.after(helloDeadlineNs, [weak = weak_from_this(), id] {
        if (const auto self = weak.lock()) {
            self->dropPending(id, "the speaker did not name itself in time");
        }
    });
    pending_.emplace(id, std::move(pending));
}

void LocalPeripheralCore::readHello(uint64_t id) {
    const auto found = pending_.find(id);
    if (found == pending_.end()) {
        return;
    }
    PendingChannel& pending = *found->second;
    while (true) {
        char byte = 0;
        const ssize_t count = ::recv(pending.fd.get(), &byte, 1, MSG_DONTWAIT);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return;
        }
        if (count < 0) {
            dropPending(id, "reading the speaker's greeting failed: " + errnoText(errno));
            return;
        }
        if (count == 0) {
            dropPending(id, "the speaker closed the channel before naming itself");
            return;
        }
        if (byte == '\n') {
            break;
        }
        pending.line.push_back(byte);
        if (pending.line.size() > LocalHello::maxLength) {
            dropPending(id, "malformed greeting from the speaker");
            return;
        }
    }
    const auto peerId = LocalHello::parse(pending.line);
    if (!peerId) {
        dropPending(id, "malformed greeting from the speaker");
        return;
    }
    auto channel = std::make_shared<L2capChannel>();
    channel->peerId = *peerId;
    channel->streams = makeFdStreamPair(pending.fd.release(), streams_);
    disposeLater(std::move(pending.notifier), main_);
    pending_.erase(found);
    log_.debug(LogCategory::ble, "local radio: channel opened by {}", *peerId);
    tell([channel = std::move(channel)](PeripheralManagerDelegate& delegate) {
        delegate.channelOpened(channel, std::nullopt);
    });
}

void LocalPeripheralCore::dropPending(uint64_t id, const std::string& reason) {
    const auto found = pending_.find(id);
    if (found == pending_.end()) {
        return;
    }
    disposeLater(std::move(found->second->notifier), main_);
    pending_.erase(found);
    failChannel(reason);
}

void LocalPeripheralCore::failChannel(const std::string& reason) {
    log_.error(LogCategory::ble, "local radio: {}", reason);
    tell([reason](PeripheralManagerDelegate& delegate) {
        delegate.channelOpened(nullptr, radioError(reason));
    });
}

} // namespace merriphonic
