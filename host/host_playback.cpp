// The host's playback decisions: the current track, the common start, PLAY, PAUSE, STOP and
// VOLUME, late speakers, prefetching, the position, the end of a song, seeking, the group
// volume and the host's output delay.
#include <algorithm>
#include <cmath>

#include "core/playback_math.h"
#include "core/sync_protocol.h"
#include "core/uuid.h"
#include "core/wrapping.h"
#include "host/host_session.h"
#include "platform/prefs.h"
#include "speaker/player_delay.h"

namespace merriphonic {

namespace {

constexpr auto app = LogCategory::app;
constexpr auto playerLog = LogCategory::player;
constexpr auto transfer = LogCategory::transfer;

bool isPlayable(const LibraryTrack& entry) {
    return entry.state == LibraryTrack::State::ready && entry.wireFile && entry.trackKey &&
           entry.size;
}

// Milliseconds of a play's timeline at nowNs, unclamped.
int64_t timelineMs(const Play& play, int64_t nowNs) {
    return PlaybackMath::saturating(PlaybackMath::mediaPositionMs(nowNs, PlaySpec::from(play)));
}

} // namespace

void HostSession::select(const LibraryTrack& entry) {
    if (!isPlayable(entry)) {
        return;
    }
    broadcast(Stop{});
    player_->stop();
    currentPlay_.reset();
    pausedAtMs_.reset();
    currentTrackId_ = entry.id;
    positionMs_ = 0;
    playback_ = HostPlayback::waiting;
    if (const MediaStatus loaded = player_->load(library_->folder() / *entry.wireFile); !loaded) {
        log_.error(playerLog, "host can't open {}: {}", entry.title, loaded.error().description);
    }
    const std::string key = *entry.trackKey;
    for (SpeakerLink* link : joinedLinks()) {
        link->prefetchOffered.clear();
        link->connection->onStreamThread([scheduler = link->scheduler, key] {
            scheduler->cancel([&key](const TrackKey& other) { return other.hex() != key; });
        });
        if (entry.ext) {
            offer(*link, entry);
        }
    }
    log_.info(app, "current track: {} [{}]", entry.title, key);
    updateSendProgress();
    rebuildRows();
    checkReadyToStart();
}

void HostSession::checkReadyToStart() {
    const std::optional<std::string> key = currentKey();
    if (*playback_ != HostPlayback::waiting || !key) {
        return;
    }
    // Speakers still synchronising their clock, or not yet heard from, are not waited for.
    for (const SpeakerLink* link : joinedLinks()) {
        const bool participates = link->status && link->status->state != "syncing";
        if (participates && link->readyKeys.count(*key) == 0) {
            return;
        }
    }
    begin(Play{*key, wrappingAdd(nowNs(), SyncProtocol::startLeadNs), 0});
}

void HostSession::begin(const Play& play) {
    ++playGeneration_;
    currentPlay_ = play;
    pausedAtMs_.reset();
    playback_ = HostPlayback::playing;
    for (SpeakerLink* link : joinedLinks()) {
        send(*link, play);
        link->playSentGeneration = playGeneration_;
        link->playSentWhileReady = link->readyKeys.count(play.trackKey) != 0;
    }
    if (const std::optional<LibraryTrack> entry = currentEntry(); entry && entry->wireFile) {
        if (const MediaStatus loaded = player_->load(library_->folder() / *entry->wireFile);
            !loaded) {
            log_.error(playerLog, "host local playback failed: {}", loaded.error().description);
        } else {
            player_->spec = PlaySpec::from(play);
            // The host's clock is the party's reference.
            player_->offsetProvider = [] { return int64_t{0}; };
            player_->schedule("play");
            player_->startDriftTimer();
        }
    }
    log_.info(app, "PLAY {} at P={} ms, S={}", play.trackKey, play.positionMs, play.startAtHostNs);
    for (SpeakerLink* link : joinedLinks()) {
        prefetch(*link);
    }
    rebuildRows();
}

void HostSession::sendLatePlayIfNeeded(SpeakerLink& link) {
    if (*playback_ != HostPlayback::playing || !currentPlay_ || !link.joined()) {
        return;
    }
    const Play& play = *currentPlay_;
    const bool ready = link.readyKeys.count(play.trackKey) != 0;
    if (!ready || (link.playSentGeneration == playGeneration_ && link.playSentWhileReady)) {
        return;
    }
    log_.info(app, "late PLAY → {}", link.logName());
    send(link, play);
    link.playSentGeneration = playGeneration_;
    link.playSentWhileReady = ready;
}

void HostSession::sendLatePauseIfNeeded(SpeakerLink& link) {
    const std::optional<std::string> key = currentKey();
    if (*playback_ != HostPlayback::paused || !key || !pausedAtMs_ || !link.joined() ||
        link.readyKeys.count(*key) == 0 || link.pauseSentGeneration == playGeneration_) {
        return;
    }
    link.pauseSentGeneration = playGeneration_;
    log_.info(app, "late PAUSE → {}", link.logName());
    send(link, Pause{*key, *pausedAtMs_});
}

int64_t HostSession::clampedPosition(const Play& play) const {
    int64_t p = timelineMs(play, nowNs());
    if (const std::optional<LibraryTrack> entry = currentEntry(); entry && entry->durationMs > 0) {
        p = std::min(p, entry->durationMs);
    }
    // A pause before the planned start keeps the start position.
    return std::max(p, play.positionMs);
}

void HostSession::pause() {
    if (*playback_ != HostPlayback::playing || !currentPlay_) {
        return;
    }
    const std::string key = currentPlay_->trackKey;
    const int64_t position = clampedPosition(*currentPlay_);
    broadcast(Pause{key, position});
    player_->stop();
    currentPlay_.reset();
    pausedAtMs_ = position;
    positionMs_ = position;
    playback_ = HostPlayback::paused;
    ++playGeneration_;
    // The others get a late PAUSE once they have the track.
    for (SpeakerLink* link : joinedLinks()) {
        if (link->readyKeys.count(key) != 0) {
            link->pauseSentGeneration = playGeneration_;
        }
    }
    rebuildRows();
}

void HostSession::togglePlayPause() {
    switch (*playback_) {
    case HostPlayback::idle: {
        std::optional<LibraryTrack> entry = currentEntry();
        if (!entry) {
            entry = nextTrack(std::nullopt);
        }
        if (entry) {
            select(*entry);
        }
        break;
    }
    case HostPlayback::waiting:
        if (const std::optional<std::string> key = currentKey()) {
            begin(Play{*key, wrappingAdd(nowNs(), SyncProtocol::startLeadNs), 0});
        }
        break;
    case HostPlayback::playing:
        pause();
        break;
    case HostPlayback::paused:
        if (const std::optional<std::string> key = currentKey(); key && pausedAtMs_) {
            begin(Play{*key, wrappingAdd(nowNs(), SyncProtocol::resumeLeadNs), *pausedAtMs_});
        }
        break;
    }
}

void HostSession::seek(int64_t toMs) {
    const std::optional<std::string> key = currentKey();
    if (!key) {
        return;
    }
    const std::optional<LibraryTrack> entry = currentEntry();
    const int64_t durationMs = entry ? entry->durationMs : 0;
    const int64_t target =
        std::max<int64_t>(0, std::min(toMs, std::max<int64_t>(0, durationMs - seekEndMarginMs)));
    if (*playback_ == HostPlayback::paused) {
        pausedAtMs_ = target;
        positionMs_ = target;
    } else if (*playback_ == HostPlayback::playing) {
        begin(Play{*key, wrappingAdd(nowNs(), SyncProtocol::resumeLeadNs), target});
    }
}

void HostSession::next() {
    if (const std::optional<LibraryTrack> entry = nextTrack(*currentTrackId_)) {
        select(*entry);
    } else {
        stopAll();
    }
}

std::optional<LibraryTrack> HostSession::nextTrack(const std::optional<std::string>& after) const {
    const std::vector<LibraryTrack>& list = *library_->tracks;
    auto from = list.begin();
    if (after) {
        auto current = std::find_if(list.begin(), list.end(),
                                    [&](const LibraryTrack& entry) { return entry.id == *after; });
        if (current != list.end()) {
            from = std::next(current);
        }
    }
    auto found = std::find_if(from, list.end(), isPlayable);
    return found != list.end() ? std::optional<LibraryTrack>(*found) : std::nullopt;
}

void HostSession::stopAll() {
    if (currentPlay_ || pausedAtMs_) {
        broadcast(Stop{});
    }
    player_->stop();
    currentPlay_.reset();
    pausedAtMs_.reset();
    playback_ = HostPlayback::idle;
    positionMs_ = 0;
    rebuildRows();
}

void HostSession::autoAdvance() {
    if (*playback_ != HostPlayback::playing) {
        return;
    }
    log_.info(app, "end of song → auto-advance");
    next();
}

void HostSession::tick() {
    if (!*isRunning_ || *playback_ != HostPlayback::playing || !currentPlay_) {
        return;
    }
    const int64_t p = timelineMs(*currentPlay_, nowNs());
    const std::optional<LibraryTrack> entry = currentEntry();
    const int64_t durationMs = entry ? entry->durationMs : 0;
    positionMs_ = std::max<int64_t>(0, (durationMs > 0 && durationMs < p) ? durationMs : p);
    if (durationMs >= 1 && p >= durationMs + endGraceMs) {
        autoAdvance();
    }
}

void HostSession::playerEnded() {
    // With a known duration the tick ends the song, so every device ends it at the same time.
    if (const std::optional<LibraryTrack> entry = currentEntry();
        !entry || entry->durationMs <= 0) {
        autoAdvance();
    }
    rebuildRows();
}

void HostSession::prefetch(SpeakerLink& link) {
    const std::optional<std::string> key = currentKey();
    if ((*playback_ != HostPlayback::playing && *playback_ != HostPlayback::paused) ||
        !link.joined() || !key || !link.isPlayingOrPaused(*key)) {
        return;
    }
    // Offered only once the speaker plays the current track, so that the two transfers never
    // compete.
    const std::optional<LibraryTrack> entry = nextTrack(*currentTrackId_);
    if (!entry || !entry->trackKey || *entry->trackKey == *key ||
        link.prefetchOffered.count(*entry->trackKey) != 0 ||
        link.readyKeys.count(*entry->trackKey) != 0) {
        return;
    }
    link.prefetchOffered.insert(*entry->trackKey);
    log_.info(transfer, "prefetch {} → {}", entry->title, link.logName());
    offer(link, *entry);
}

void HostSession::setGroupVolume(double volume) {
    if (std::isnan(volume)) {
        return;
    }
    volume = std::clamp(volume, 0.0, 1.0);
    Prefs::setGroupVolume(context_.prefs, volume);
    groupVolume_ = volume;
    player_->setGroupVolume(volume);
    volumeWork_ = context_.main.after(volumeDebounceNs, [weak = weak_from_this()] {
        if (auto self = weak.lock()) {
            self->broadcast(Volume{*self->groupVolume_});
        }
    });
}

void HostSession::setDelayMs(int delayMs) {
    setPlayerDelayMs(context_, delayMs, delayDebounceNs, delayMs_, player_, delayWork_);
    // The delay is the host's own and never sent to speakers.
    rebuildRows();
}

void HostSession::remove(const LibraryTrack& entry) {
    if (*currentTrackId_ && sameUuid(**currentTrackId_, entry.id)) {
        stopAll();
        currentTrackId_ = std::nullopt;
    }
    library_->remove(entry.id);
    updateSendProgress();
    rebuildRows();
}

} // namespace merriphonic
