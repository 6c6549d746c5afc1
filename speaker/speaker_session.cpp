#include "speaker/speaker_session.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "core/platform.h"
#include "core/playback_math.h"
#include "core/sync_protocol.h"
#include "platform/prefs.h"
#include "speaker/player_delay.h"

namespace merriphonic {

namespace {

constexpr auto app = LogCategory::app;

// Publishes only a change: the screen refresh runs four times a second.
template <typename T>
void update(Published<T>& field, T value) {
    if (!(*field == value)) {
        field = std::move(value);
    }
}

// The sentence for a radio a join cannot use, or nothing when it may still come up.
std::optional<std::string> unusableRadioText(RadioState state) {
    switch (state) {
    case RadioState::poweredOff:
        return "Bluetooth is off. Turn it on to join a party.";
    case RadioState::unauthorized:
        return "Merriphonic isn't allowed to use Bluetooth. Allow it in the system settings to "
               "join a party.";
    case RadioState::unsupported:
        return "This computer has no Bluetooth LE radio that Merriphonic can use.";
    default:
        return std::nullopt;
    }
}

} // namespace

std::shared_ptr<SpeakerSession> SpeakerSession::create(DeviceContext& context) {
    auto session = std::make_shared<SpeakerSession>(Passkey{}, context);
    const std::weak_ptr<SpeakerSession> weak = session;
    SyncPlayer& player = *session->player_;
    player.setLocalVolume(*session->localVolume_);
    player.setDelayMs(static_cast<double>(*session->delayMs_));
    player.onEnded = [weak] {
        if (auto self = weak.lock()) {
            self->playerEnded();
        }
    };
    SpeakerCentral& central = *session->central_;
    central.onState = [weak](RadioState state) {
        if (auto self = weak.lock()) {
            self->radioStateChanged(state);
        }
    };
    central.onDiscovered = [weak](const DiscoveredHost& host) {
        if (auto self = weak.lock()) {
            self->upsert(host);
        }
    };
    central.onChannel = [weak](const std::shared_ptr<L2capChannel>& channel,
                               const std::optional<std::string>& infoName) {
        if (auto self = weak.lock()) {
            self->attach(Connection::create(self->context_, channel->streams, "host"), infoName);
        }
    };
    central.onConnectFailed = [weak](const std::string& message) {
        if (auto self = weak.lock()) {
            self->teardown();
            self->phase_ = Phase::failed(message);
        }
    };
    central.onDisconnected = [weak](const std::string& /*message*/) {
        if (auto self = weak.lock(); self && self->connection_) {
            self->teardown();
            self->phase_ = Phase::disconnected("Disconnected from host");
        }
    };
    return session;
}

SpeakerSession::SpeakerSession(Passkey /*key*/, DeviceContext& context)
    : context_(context), log_(context.log), delayMs_(Prefs::delayMs(context.prefs)),
      localVolume_(Prefs::localVolume(context.prefs)),
      cacheFolder_(TrackCache::folder(context.folders)), central_(SpeakerCentral::create(context)),
      player_(SyncPlayer::create(context, "speaker")),
      clock_(SyncProtocol::clockWindowNs, SyncProtocol::minSyncSamples),
      gridClock_(SyncProtocol::clockWindowNs) {}

SpeakerSession::~SpeakerSession() {
    if (connection_) {
        connection_->onClose = nullptr;
        connection_->close("session teardown");
    }
}

// ---- Scanning and joining ----

void SpeakerSession::startScanning() {
    discovered_ = std::vector<DiscoveredHost>{};
    phase_ = Phase::scanning();
    central_->startScan();
    pruneTimer_ = context_.main.every(prunePeriodNs, [weak = weak_from_this()] {
        if (auto self = weak.lock()) {
            self->prune();
        }
    });
}

void SpeakerSession::stopScanning() {
    central_->stopScan();
    pruneTimer_.cancel();
    if (phase_->is(Phase::Kind::scanning)) {
        phase_ = Phase::idle();
    }
}

void SpeakerSession::upsert(const DiscoveredHost& host) {
    std::vector<DiscoveredHost> list = *discovered_;
    auto found = std::find_if(list.begin(), list.end(),
                              [&](const DiscoveredHost& known) { return known.id == host.id; });
    if (found != list.end()) {
        found->name = host.name;
        found->rssi = (2 * found->rssi + host.rssi) / 3;
        found->lastSeenNs = host.lastSeenNs;
    } else {
        list.push_back(host);
    }
    std::stable_sort(
        list.begin(), list.end(),
        [](const DiscoveredHost& a, const DiscoveredHost& b) { return a.rssi > b.rssi; });
    if (list.size() > maxDiscoveredHosts) {
        list.resize(maxDiscoveredHosts);
    }
    discovered_ = std::move(list);
}

void SpeakerSession::prune() {
    const int64_t cutoffNs = context_.clock.nowNs() - staleHostNs;
    std::vector<DiscoveredHost> list = *discovered_;
    const size_t dropped = std::erase_if(
        list, [&](const DiscoveredHost& host) { return host.lastSeenNs <= cutoffNs; });
    if (dropped > 0) {
        discovered_ = std::move(list);
    }
}

void SpeakerSession::join(const DiscoveredHost& host) {
    stopScanning();
    hostPeripheralId_ = host.id;
    partyName_ = host.name;
    // A radio that is off or not allowed would leave the join waiting for ever.
    if (std::optional<std::string> text = unusableRadioText(*bluetoothState_)) {
        phase_ = Phase::failed(std::move(*text));
        return;
    }
    phase_ = Phase::connecting();
    central_->connect(host.id);
}

void SpeakerSession::retry() {
    if (!hostPeripheralId_) {
        return;
    }
    if (std::optional<std::string> text = unusableRadioText(*bluetoothState_)) {
        phase_ = Phase::failed(std::move(*text));
        return;
    }
    phase_ = Phase::connecting();
    central_->connect(*hostPeripheralId_);
}

void SpeakerSession::radioStateChanged(RadioState state) {
    bluetoothState_ = state;
    if (!phase_->is(Phase::Kind::connecting) || connection_) {
        return;
    }
    if (std::optional<std::string> text = unusableRadioText(state)) {
        teardown();
        phase_ = Phase::failed(std::move(*text));
    }
}

void SpeakerSession::leave() {
    if (std::shared_ptr<Connection> leaving = std::exchange(connection_, nullptr)) {
        // The connection keeps itself until its BYE is out (or its deadline passes); closing
        // it here at once could cut the BYE off behind a chunk.
        leaving->onClose = [leaving](const std::string& /*reason*/) mutable { leaving.reset(); };
        leaving->sendByeAndClose("left");
    }
    teardown();
    phase_ = Phase::idle();
}

void SpeakerSession::attach(const std::shared_ptr<Connection>& connection,
                            const std::optional<std::string>& partyName) {
    if (partyName && !partyName->empty()) {
        partyName_ = *partyName;
    }
    const std::weak_ptr<SpeakerSession> weak = weak_from_this();
    connection->onMessage = [weak](const Message& message, int64_t receiveNs) {
        if (auto self = weak.lock()) {
            self->handle(message, receiveNs);
        }
    };
    connection->onClose =
        [weak, closing = std::weak_ptr<Connection>(connection)](const std::string& reason) {
            auto self = weak.lock();
            if (!self || !self->connection_ || self->connection_ != closing.lock()) {
                return;
            }
            self->log_.info(app, "link to host closed: {}", reason);
            self->teardown();
            self->phase_ = Phase::disconnected("Disconnected from host");
        };
    connection_ = connection;
    pongSeq_ = pingSeq_;
    clock_.reset();
    gridClock_.reset();
    state_ = SpeakerState::syncing;
    phase_ = Phase::syncing();
    player_->startEngine();
    connection->start();
    send(Hello{SyncProtocol::version, Prefs::deviceId(context_.prefs),
               Prefs::displayName(context_.prefs), std::string(rawValue(currentPlatform))});
    startTimers();
    sendStatus();
}

void SpeakerSession::teardown() {
    stopTimers();
    if (std::shared_ptr<Connection> connection = std::exchange(connection_, nullptr)) {
        connection->onClose = nullptr;
        connection->close("session teardown");
    }
    central_->disconnect();
    player_->stop();
    receivers_.clear();
    offers_.clear();
    retries_.clear();
    mismatches_.clear();
    finalizing_.clear();
    earlyDone_.clear();
    currentPlay_.reset();
    lastPlay_.reset();
    paused_.reset();
    focusKey_.reset();
    clock_.reset();
    gridClock_.reset();
    state_ = SpeakerState::syncing;
    syncMs_ = std::nullopt;
    title_ = std::string();
    artist_ = std::string();
    durationMs_ = 0;
    positionMs_ = 0;
    loadingPercent_ = 0;
}

// ---- Timers and the clock ----

void SpeakerSession::startTimers() {
    pingsDue_ = SyncProtocol::initialPingBurst;
    const std::weak_ptr<SpeakerSession> weak = weak_from_this();
    const auto every = [&](int64_t periodNs, void (SpeakerSession::*tick)()) {
        return context_.main.every(periodNs, [weak, tick] {
            if (auto self = weak.lock()) {
                ((*self).*tick)();
            }
        });
    };
    pingTimer_ = every(pingPeriodNs, &SpeakerSession::pingTick);
    burstTimer_ = context_.main.every(burstPeriodNs, [weak] {
        if (auto self = weak.lock()) {
            self->pingsDue_ = std::max(self->pingsDue_, SyncProtocol::periodicPingBurst);
        }
    });
    statusTimer_ = every(statusPeriodNs, &SpeakerSession::statusTick);
    uiTimer_ = every(uiPeriodNs, &SpeakerSession::refreshUI);
}

void SpeakerSession::stopTimers() {
    pingTimer_.cancel();
    burstTimer_.cancel();
    statusTimer_.cancel();
    uiTimer_.cancel();
}

void SpeakerSession::statusTick() {
    const int64_t now = context_.clock.nowNs();
    clock_.prune(now);
    gridClock_.prune(now);
    updateState();
    if (*state_ == SpeakerState::loading || !lastStatusAtNs_ ||
        now - *lastStatusAtNs_ >= statusQuietNs) {
        sendStatus();
    }
}

// ---- Commands from the host ----

void SpeakerSession::send(const Message& message) const {
    if (connection_) {
        connection_->enqueue(OutboundFrame(message));
    }
}

void SpeakerSession::handle(const Message& message, int64_t receiveNs) {
    if (const auto* welcome = message.as<Welcome>()) {
        if (!welcome->name.empty()) {
            partyName_ = welcome->name;
        }
        log_.info(app, "WELCOME from {}", welcome->name);
    } else if (const auto* pong = message.as<Pong>()) {
        handlePong(*pong, receiveNs);
    } else if (const auto* offer = message.as<TrackOffer>()) {
        handleOffer(*offer);
    } else if (const auto* chunk = message.as<TrackChunk>()) {
        lastChunkAtNs_ = receiveNs;
        handleChunk(*chunk);
    } else if (const auto* done = message.as<TrackDone>()) {
        handleDone(done->key);
    } else if (const auto* play = message.as<Play>()) {
        handlePlay(*play);
    } else if (const auto* pause = message.as<Pause>()) {
        handlePause(*pause);
    } else if (const auto* volume = message.as<Volume>()) {
        handleVolume(*volume);
    } else if (message.is<Bye>()) {
        log_.info(app, "host sent BYE");
        teardown();
        phase_ = Phase::disconnected("The host ended the party");
    } else if (message.is<Stop>()) {
        handleStop();
    } else {
        log_.debug(app, "speaker ignoring {}", message.name());
    }
}

// ---- State and status ----

std::optional<std::string> SpeakerSession::keyInFocus() const {
    if (currentPlay_) {
        return currentPlay_->trackKey;
    }
    if (paused_) {
        return paused_->trackKey;
    }
    return focusKey_;
}

SpeakerState SpeakerSession::computeState() const {
    if (!clock_.isSynced()) {
        return SpeakerState::syncing;
    }
    if (currentPlay_) {
        return (readyKeys_.count(currentPlay_->trackKey) != 0 && player_->spec)
                   ? SpeakerState::playing
                   : SpeakerState::loading;
    }
    if (paused_) {
        return SpeakerState::paused;
    }
    if (!focusKey_) {
        return SpeakerState::idle;
    }
    if (readyKeys_.count(*focusKey_) != 0) {
        return SpeakerState::ready;
    }
    return offers_.count(*focusKey_) != 0 ? SpeakerState::loading : SpeakerState::idle;
}

bool SpeakerSession::updateState() {
    const SpeakerState next = computeState();
    if (next == *state_) {
        return false;
    }
    log_.info(app, "state {} → {}", rawValue(*state_), rawValue(next));
    state_ = next;
    sendStatus();
    return true;
}

void SpeakerSession::sendStatus() {
    if (!connection_) {
        return;
    }
    const std::optional<std::string> key = keyInFocus();
    int64_t size = 0;
    int64_t bytes = 0;
    if (key) {
        if (auto offer = offers_.find(*key); offer != offers_.end()) {
            size = offer->second.size;
            bytes =
                readyKeys_.count(*key) != 0 ? size : std::min(heldBytes(*key, offer->second), size);
        }
    }
    const double rttMs = clock_.bestRttMs().value_or(0.0);
    send(Status{std::string(rawValue(*state_)), key, bytes, size, std::round(rttMs * 100.0) / 100.0,
                *delayMs_});
    lastStatusAtNs_ = context_.clock.nowNs();
}

void SpeakerSession::refreshUI() {
    const std::optional<std::string> key = keyInFocus();
    const auto offer = key ? offers_.find(*key) : offers_.end();
    if (offer != offers_.end()) {
        const TrackOffer& o = offer->second;
        update(title_, o.title);
        update(artist_, o.artist);
        update(durationMs_, o.durationMs);
        int percent = 100;
        if (readyKeys_.count(*key) == 0 && o.size >= 1) {
            const auto receiver = receivers_.find(*key);
            const int64_t held = receiver != receivers_.end() ? heldBytes(*key, o) : 0;
            percent = static_cast<int>(std::clamp<double>(
                std::trunc(static_cast<double>(held) * 100.0 / static_cast<double>(o.size)), 0.0,
                100.0));
        }
        update(loadingPercent_, percent);
    } else if (!currentPlay_ && !paused_) {
        update(title_, std::string());
        update(artist_, std::string());
        update(durationMs_, int64_t{0});
    }
    int64_t position = 0;
    if (currentPlay_) {
        const int64_t hostNowNs = context_.clock.nowNs() + clock_.offsetNs().value_or(0);
        position = std::max(PlaybackMath::saturating(PlaybackMath::mediaPositionMs(
                                hostNowNs, PlaySpec::from(*currentPlay_))),
                            currentPlay_->positionMs);
        if (*durationMs_ >= 1) {
            position = std::min(position, *durationMs_);
        }
    } else if (paused_) {
        position = paused_->positionMs;
    }
    update(positionMs_, position);
    if (const std::optional<double> rtt = clock_.bestRttMs()) {
        update(syncMs_, std::optional<double>(*rtt * 0.5));
    }
}

// ---- Delay and volume ----
void SpeakerSession::setDelayMs(int delayMs) {
    setPlayerDelayMs(context_, delayMs, delayDebounceNs, delayMs_, player_, delayWork_,
                     [weak = weak_from_this()] {
                         if (auto self = weak.lock()) {
                             self->sendStatus();
                         }
                     });
}

void SpeakerSession::setLocalVolume(double volume) {
    if (std::isnan(volume)) {
        return;
    }
    Prefs::setLocalVolume(context_.prefs, std::clamp(volume, 0.0, 1.0));
    localVolume_ = volume;
    player_->setLocalVolume(volume);
}

} // namespace merriphonic
