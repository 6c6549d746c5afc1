#include "host/host_session.h"

#include <algorithm>
#include <utility>

#include "core/platform.h"
#include "core/sync_protocol.h"
#include "core/text_limits.h"
#include "core/track_key.h"
#include "core/uuid.h"
#include "platform/prefs.h"

namespace merriphonic {

namespace {

constexpr auto app = LogCategory::app;
constexpr auto ble = LogCategory::ble;
constexpr auto transfer = LogCategory::transfer;

} // namespace

std::shared_ptr<HostSession> HostSession::create(DeviceContext& context,
                                                 std::shared_ptr<LibraryStore> library) {
    auto session = std::make_shared<HostSession>(Passkey{}, context, std::move(library));
    const std::weak_ptr<HostSession> weak = session;
    session->player_->onEnded = [weak] {
        if (auto self = weak.lock()) {
            self->playerEnded();
        }
    };
    session->peripheral_->onState = [weak](RadioState state) {
        if (auto self = weak.lock()) {
            self->bluetoothState_ = state;
        }
    };
    session->peripheral_->onPhase = [weak](const HostPeripheral::Phase& phase) {
        if (auto self = weak.lock()) {
            self->phase_ = phase;
        }
    };
    session->peripheral_->onChannel = [weak](const std::shared_ptr<L2capChannel>& channel) {
        if (auto self = weak.lock()) {
            self->acceptChannel(channel);
        }
    };
    return session;
}

HostSession::HostSession(Passkey /*key*/, DeviceContext& context,
                         std::shared_ptr<LibraryStore> library)
    : context_(context), log_(context.log),
      groupVolume_(std::clamp(Prefs::groupVolume(context.prefs), 0.0, 1.0)),
      delayMs_(Prefs::delayMs(context.prefs)), library_(std::move(library)),
      peripheral_(HostPeripheral::create(context)), player_(SyncPlayer::create(context, "host")),
      hostId_(Prefs::deviceId(context.prefs)) {}

HostSession::~HostSession() {
    // The peripheral outlives nothing of ours: its callbacks hold the session weakly.
    if (peripheral_->wantRunning()) {
        peripheral_->stop();
    }
}

std::optional<LibraryTrack> HostSession::currentEntry() const {
    return library_->track(*currentTrackId_);
}

std::optional<std::string> HostSession::currentKey() const {
    const std::optional<LibraryTrack> entry = currentEntry();
    return entry ? entry->trackKey : std::nullopt;
}

std::vector<const SpeakerLink*> HostSession::linksInOrder() const {
    std::vector<const SpeakerLink*> result;
    for (const std::string& id : linkOrder_) {
        if (auto it = links_.find(id); it != links_.end()) {
            result.push_back(it->second.get());
        }
    }
    return result;
}

std::vector<SpeakerLink*> HostSession::joinedLinks() const {
    std::vector<SpeakerLink*> result;
    for (const std::string& id : linkOrder_) {
        if (auto it = links_.find(id); it != links_.end() && it->second->joined()) {
            result.push_back(it->second.get());
        }
    }
    return result;
}

void HostSession::start(const std::string& partyName, bool advertise) {
    if (*isRunning_) {
        return;
    }
    isRunning_ = true;
    // What the speakers are told (WELCOME, the info record), so the screen shows the same.
    partyName_ = TextLimits::cut(partyName, TextLimits::maxNameBytes);
    player_->setGroupVolume(*groupVolume_);
    player_->setDelayMs(static_cast<double>(*delayMs_));
    player_->startEngine();
    if (advertise) {
        peripheral_->start(*partyName_);
    }
    tickTimer_ = context_.main.every(tickPeriodNs, [weak = weak_from_this()] {
        if (auto self = weak.lock()) {
            self->tick();
        }
    });
    rebuildRows();
    log_.info(app, "hosting party \"{}\"", *partyName_);
}

void HostSession::endParty() {
    if (!*isRunning_) {
        return;
    }
    // The connections are let go of here, but kept until they have closed so that their BYE
    // is still written: a dropped connection closes its channel at once.
    for (const std::string& id : linkOrder_) {
        auto it = links_.find(id);
        if (it == links_.end()) {
            continue;
        }
        const std::shared_ptr<Connection> connection = it->second->connection;
        rejected_.push_back(connection);
        connection->onClose = [weak = weak_from_this(), id](const std::string& /*reason*/) {
            if (auto self = weak.lock()) {
                self->release(id);
            }
        };
        if (it->second->joined()) {
            connection->sendByeAndClose("party ended");
        } else {
            connection->close("party ended");
        }
    }
    links_.clear();
    linkOrder_.clear();
    peripheral_->stop();
    player_->stop();
    player_->stopEngine();
    tickTimer_.cancel();
    volumeWork_.cancel();
    delayWork_.cancel();
    currentPlay_.reset();
    pausedAtMs_.reset();
    playback_ = HostPlayback::idle;
    positionMs_ = 0;
    isRunning_ = false;
    rebuildRows();
    log_.info(app, "party ended");
}

void HostSession::acceptChannel(const std::shared_ptr<L2capChannel>& channel) {
    const std::string peer = canonicalUuid(channel->peerId).value_or(channel->peerId);
    accept(Connection::create(context_, channel->streams, "spk-" + peer.substr(0, 4)));
}

void HostSession::accept(const std::shared_ptr<Connection>& connection) {
    connection->autoPong = true;
    const std::string id = connection->id();
    if (links_.size() >= static_cast<size_t>(SyncProtocol::maxSpeakers)) {
        log_.info(ble, "host: party full ({}) → BYE to {}", SyncProtocol::maxSpeakers,
                  connection->label());
        rejected_.push_back(connection);
        connection->onClose = [weak = weak_from_this(), id](const std::string& /*reason*/) {
            if (auto self = weak.lock()) {
                self->release(id);
            }
        };
        connection->start();
        connection->sendByeAndClose("party full");
        return;
    }
    auto scheduler = std::make_shared<TransferScheduler>(context_);
    auto& link = links_[id] = std::make_unique<SpeakerLink>(connection, scheduler);
    linkOrder_.push_back(id);
    const std::weak_ptr<HostSession> weak = weak_from_this();
    scheduler->onProgress = [weak, id](const std::string& key, int64_t sent, int64_t size,
                                       bool finished) {
        auto self = weak.lock();
        if (!self) {
            return;
        }
        if (auto it = self->links_.find(id); it != self->links_.end()) {
            it->second->sentBytes[key] = sent;
            self->updateSendProgress();
        }
        if (finished && sent < size) {
            self->transferStopped(key);
        }
    };
    connection->onMessage = [weak, id](const Message& message, int64_t /*receiveNs*/) {
        auto self = weak.lock();
        if (!self) {
            return;
        }
        if (auto it = self->links_.find(id); it != self->links_.end()) {
            self->handle(*it->second, message);
        }
    };
    connection->onClose = [weak, id](const std::string& reason) {
        if (auto self = weak.lock()) {
            self->dropLink(id, reason);
        }
    };
    connection->setBulkSource(link->scheduler);
    connection->start();
    rebuildRows();
}

void HostSession::release(const std::string& id) {
    std::erase_if(rejected_, [&](const auto& connection) { return connection->id() == id; });
}

void HostSession::handle(SpeakerLink& link, const Message& message) {
    if (const auto* hello = message.as<Hello>()) {
        handleHello(link, *hello);
    } else if (const auto* status = message.as<Status>()) {
        handleStatus(link, *status);
    } else if (const auto* have = message.as<TrackHave>()) {
        handleTrackHave(link, *have);
    } else if (message.is<Bye>()) {
        // Logged here: the channel's end may close the connection first, with its own reason.
        log_.info(app, "speaker {} sent BYE", link.logName());
        link.connection->close("speaker sent BYE");
    } else {
        log_.debug(app, "host ignoring {} from speaker", message.name());
    }
}

void HostSession::handleHello(SpeakerLink& link, const Hello& hello) {
    link.hello = hello;
    log_.info(app, "HELLO from {} ({}, v{})", hello.name, hello.platform, hello.v);
    send(link, Welcome{SyncProtocol::version, hostId_, *partyName_});
    send(link, Volume{*groupVolume_});
    if (const std::optional<LibraryTrack> entry = currentEntry()) {
        offer(link, *entry);
    }
    rebuildRows();
}

bool HostSession::isAboutCurrent(const Status& status) const {
    const std::optional<std::string> key =
        status.trackKey ? TrackKey::normalize(*status.trackKey) : std::nullopt;
    const std::optional<std::string> current = currentKey();
    return key ? key == current : !current.has_value();
}

void HostSession::handleStatus(SpeakerLink& link, const Status& status) {
    link.status = status;
    const std::optional<SpeakerState> state = status.speakerState();
    // Only songs of the library count: a speaker cannot make the host keep keys without end.
    if (const std::optional<std::string> key =
            status.trackKey ? TrackKey::normalize(*status.trackKey) : std::nullopt;
        key && library_->trackForKey(*key)) {
        if (state == SpeakerState::ready || state == SpeakerState::playing ||
            state == SpeakerState::paused) {
            link.readyKeys.insert(*key);
        } else if (state == SpeakerState::loading) {
            link.readyKeys.erase(*key);
        }
    }
    // A speaker that has just finished prefetching the next track goes on showing the one it
    // plays.
    const bool keepDisplay =
        state == SpeakerState::ready && !isAboutCurrent(status) &&
        (*playback_ == HostPlayback::playing || *playback_ == HostPlayback::paused);
    if (!keepDisplay) {
        link.display = status;
    }
    checkReadyToStart();
    sendLatePlayIfNeeded(link);
    sendLatePauseIfNeeded(link);
    prefetch(link);
    rebuildRows();
    updateSendProgress();
}

void HostSession::handleTrackHave(SpeakerLink& link, const TrackHave& have) {
    const std::optional<TrackKey> key = TrackKey::fromHex(have.trackKey);
    const std::optional<LibraryTrack> entry =
        key ? library_->trackForKey(key->hex()) : std::nullopt;
    if (!entry || !entry->wireFile || !entry->size) {
        log_.error(transfer, "TRACK_HAVE for unknown track {}", have.trackKey);
        return;
    }
    const int64_t size = *entry->size;
    const int64_t offset = (have.bytes >= 0 && have.bytes <= size) ? have.bytes : 0;
    const bool urgent = key->hex() == currentKey();
    link.connection->onStreamThread([scheduler = link.scheduler, key = *key,
                                     url = library_->folder() / *entry->wireFile, size, offset,
                                     urgent] { scheduler->start(key, url, size, offset, urgent); });
}

void HostSession::transferStopped(const std::string& key) {
    const std::optional<LibraryTrack> entry = library_->trackForKey(key);
    if (!entry || !entry->wireFile || !entry->size) {
        return;
    }
    const int64_t onDisk = LibraryStore::fileSize(library_->folder() / *entry->wireFile);
    if (onDisk == *entry->size) {
        return; // the file is whole: the speaker may ask again
    }
    // No speaker can ever complete the song, and a host waiting for them all would wait in
    // silence for good: the song is taken out of play and the party moves on together.
    log_.error(transfer, "wire file of {} has {} of its {} B → taken out of play", entry->title,
               onDisk, *entry->size);
    library_->markFailed(entry->id, "The song's file is damaged. Import it again.");
    if (*currentTrackId_ && sameUuid(**currentTrackId_, entry->id)) {
        next();
    }
}

void HostSession::dropLink(const std::string& id, const std::string& reason) {
    auto it = links_.find(id);
    if (it == links_.end()) {
        return;
    }
    const std::string name = it->second->logName();
    links_.erase(it);
    std::erase(linkOrder_, id);
    log_.info(app, "speaker {} left: {}", name, reason);
    rebuildRows();
    updateSendProgress();
    // The last speaker who was not ready may just have left.
    checkReadyToStart();
}

void HostSession::send(const SpeakerLink& link, const Message& message) const {
    link.connection->enqueue(OutboundFrame(message));
}

void HostSession::broadcast(const Message& message) const {
    const OutboundFrame frame(message);
    for (const SpeakerLink* link : joinedLinks()) {
        link->connection->enqueue(frame);
    }
}

void HostSession::offer(const SpeakerLink& link, const LibraryTrack& entry) const {
    if (!entry.trackKey || !entry.ext || !entry.size) {
        return;
    }
    if (*entry.size > SyncProtocol::maxTrackSize) {
        // Its chunk offsets would wrap round and overwrite the song's beginning.
        log_.error(transfer, "not offering {}: {} B is over the {} B a song may have", entry.title,
                   *entry.size, SyncProtocol::maxTrackSize);
        return;
    }
    send(link, TrackOffer{*entry.trackKey, entry.title, entry.artist, *entry.ext, *entry.size,
                          entry.durationMs});
}

void HostSession::rebuildRows() {
    std::vector<SpeakerRow> rows;
    rows.reserve(linkOrder_.size() + 1);
    SpeakerRow local;
    local.id = SpeakerRow::localId;
    local.name = "This device";
    local.platform = rawValue(currentPlatform);
    local.delayMs = *delayMs_;
    local.isLocal = true;
    switch (*playback_) {
    case HostPlayback::idle:
        local.chip = "Idle";
        local.kind = ChipKind::idle;
        break;
    case HostPlayback::waiting:
        local.chip = "Ready";
        local.kind = ChipKind::ready;
        break;
    case HostPlayback::playing:
        local.chip = player_->spec ? "Playing" : "Idle";
        local.kind = player_->spec ? ChipKind::playing : ChipKind::idle;
        break;
    case HostPlayback::paused:
        local.chip = "Paused";
        local.kind = ChipKind::paused;
        break;
    }
    rows.push_back(std::move(local));
    for (const SpeakerLink* link : linksInOrder()) {
        const Chip chip = Chip::of(link->display, link->joined());
        rows.push_back(SpeakerRow{
            .id = link->connection->id(),
            .name = link->hello ? link->hello->name : "Connecting…",
            .platform = link->hello ? link->hello->platform : std::string(),
            .chip = chip.text,
            .kind = chip.kind,
            .rttMs = link->status ? std::optional<double>(link->status->rttMs) : std::nullopt,
            .delayMs = link->status ? std::optional<int64_t>(link->status->delayMs) : std::nullopt,
            .isLocal = false});
    }
    if (rows != *rows_) {
        rows_ = std::move(rows);
    }
}

void HostSession::updateSendProgress() {
    const std::optional<std::string> key = currentKey();
    const std::optional<LibraryTrack> entry = currentEntry();
    const int64_t size = (entry && entry->size) ? *entry->size : 0;
    if (!key || size <= 0) {
        sendProgress_ = 0.0;
        return;
    }
    const std::vector<SpeakerLink*> joined = joinedLinks();
    if (joined.empty()) {
        sendProgress_ = 1.0;
        return;
    }
    double sum = 0.0;
    for (const SpeakerLink* link : joined) {
        if (link->readyKeys.count(*key) != 0) {
            sum += 1.0;
            continue;
        }
        int64_t got = 0;
        if (auto it = link->sentBytes.find(*key); it != link->sentBytes.end()) {
            got = it->second;
        }
        if (link->status && link->status->trackKey &&
            TrackKey::normalize(*link->status->trackKey) == key) {
            got = std::max(got, link->status->bytes);
        }
        sum += std::clamp(static_cast<double>(got) / static_cast<double>(size), 0.0, 1.0);
    }
    sendProgress_ = sum / static_cast<double>(joined.size());
}

} // namespace merriphonic
