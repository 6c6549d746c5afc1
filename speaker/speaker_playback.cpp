// The speaker's clock and playback: PINGs and the host clock estimated from their answers, the
// host's playback commands, and the player planned on the host's clock and planned again when
// the estimate moves.
#include <algorithm>
#include <cmath>
#include <utility>

#include "core/playback_math.h"
#include "core/sync_protocol.h"
#include "core/track_key.h"
#include "core/wrapping.h"
#include "speaker/speaker_session.h"

namespace merriphonic {

namespace {

constexpr auto sync = LogCategory::sync;
constexpr auto playerLog = LogCategory::player;

} // namespace

// ---- The clock ----

void SpeakerSession::pingTick() {
    if (pingsDue_ < 1 || !connection_) {
        return;
    }
    --pingsDue_;
    ++pingSeq_; // wraps; never reset, so later connections go on counting
    connection_->enqueue(OutboundFrame::ping(pingSeq_));
}

void SpeakerSession::handlePong(const Pong& pong, int64_t t4) {
    // Only the first answer to a PING sent on this link counts: a host that sent PONGs of its
    // own accord would otherwise fill the clock estimates without end.
    const uint32_t ahead = pong.seq - pongSeq_;
    if (ahead == 0 || ahead > pingSeq_ - pongSeq_) {
        return;
    }
    pongSeq_ = pong.seq;
    if (const ClockSync::Estimate exchange = ClockSync::compute(pong.t1, pong.t2, pong.t3, t4);
        exchange.rttNs >= 0 && clockJumped(exchange, t4)) {
        // Every exchange before the jump is off by it, and so would be a player that trusted
        // them: estimate from scratch, starting with this exchange and a burst of PINGs. The
        // offset the player follows moves at once, which re-plans it below.
        log_.info(sync, "local clock jumped by about {:.0f} ms → estimating the offset again",
                  static_cast<double>(clock_.offsetNs().value_or(0) - exchange.offsetNs) / 1e6);
        clock_.reset();
        gridClock_.reset();
        pingsDue_ = std::max(pingsDue_, SyncProtocol::initialPingBurst);
    }
    const bool wasSynced = clock_.isSynced();
    if (!clock_.add(pong.t1, pong.t2, pong.t3, t4)) {
        return;
    }
    const bool quiet = !lastChunkAtNs_ || t4 - *lastChunkAtNs_ > quietAfterChunkNs;
    gridClock_.add({pong.t1, pong.t2, pong.t3, t4, quiet});
    if (const std::optional<double> rtt = clock_.bestRttMs()) {
        syncMs_ = *rtt * 0.5;
    }
    replanIfClockMoved();
    if (!wasSynced && clock_.isSynced()) {
        log_.info(sync, "clock synced: offset {} ns, best rtt {:.2f} ms",
                  clock_.offsetNs().value_or(0), clock_.bestRttMs().value_or(-1.0));
        if (phase_->is(Phase::Kind::syncing)) {
            phase_ = Phase::connected();
        }
        updateState();
    }
}
// ---- Playback ----

void SpeakerSession::handlePlay(const Play& received) {
    const std::optional<std::string> key = TrackKey::normalize(received.trackKey);
    if (!key) {
        return;
    }
    const Play play{*key, received.startAtHostNs, received.positionMs};
    if (lastPlay_ == play) {
        return; // a repeat
    }
    lastPlay_ = play;
    currentPlay_ = play;
    paused_.reset();
    focusKey_ = *key;
    if (readyKeys_.count(*key) != 0) {
        startPlayer();
    } else {
        player_->stop();
        log_.info(playerLog, "PLAY for {} before it finished downloading → will join mid-song",
                  *key);
    }
    updateState();
    refreshUI();
}

void SpeakerSession::handlePause(const Pause& pause) {
    const std::optional<std::string> key = TrackKey::normalize(pause.trackKey);
    if (!key) {
        return;
    }
    player_->stop();
    currentPlay_.reset();
    lastPlay_.reset();
    paused_ = Pause{*key, pause.positionMs};
    focusKey_ = *key;
    positionMs_ = pause.positionMs;
    updateState();
}

void SpeakerSession::handleVolume(const Volume& volume) {
    groupVolume_ = std::isnan(volume.volume) ? 0.0 : std::clamp(volume.volume, 0.0, 1.0);
    player_->setGroupVolume(groupVolume_);
}

void SpeakerSession::handleStop() {
    player_->stop();
    currentPlay_.reset();
    lastPlay_.reset();
    paused_.reset();
    focusKey_.reset();
    positionMs_ = 0;
    updateState();
}

std::optional<std::filesystem::path> SpeakerSession::playableFile(const std::string& key) const {
    if (auto offer = offers_.find(key); offer != offers_.end()) {
        return cacheFile(key, offer->second);
    }
    // Received in an earlier party: whatever extension it was cached under.
    std::error_code error;
    for (std::filesystem::directory_iterator it(cacheFolder_, error), end; !error && it != end;
         it.increment(error)) {
        if (it->path().stem() == key) {
            return it->path();
        }
    }
    return std::nullopt;
}

void SpeakerSession::startPlayer() {
    if (!currentPlay_ || !TrackKey::fromHex(currentPlay_->trackKey)) {
        return;
    }
    const std::optional<std::filesystem::path> file = playableFile(currentPlay_->trackKey);
    if (!file) {
        log_.error(playerLog, "PLAY for unknown track {}", currentPlay_->trackKey);
        return;
    }
    if (const MediaStatus loaded = player_->load(*file); !loaded) {
        log_.error(playerLog, "can't open {}: {}", file->filename().string(),
                   loaded.error().description);
        return;
    }
    player_->setDelayMs(static_cast<double>(*delayMs_));
    player_->setGroupVolume(groupVolume_);
    player_->setLocalVolume(*localVolume_);
    player_->spec = PlaySpec::from(*currentPlay_);
    player_->offsetProvider = [weak = weak_from_this()] {
        const auto self = weak.lock();
        return self ? self->playerOffsetNs(self->context_.clock.nowNs()).value_or(0) : int64_t{0};
    };
    plannedOffsetNs_ = playerOffsetNs(context_.clock.nowNs());
    lastOffset_.reset();
    player_->schedule("play");
    player_->startDriftTimer();
}

bool SpeakerSession::clockJumped(const ClockSync::Estimate& exchange, int64_t t4) const {
    const std::optional<ClockSample>& best = clock_.lastBest();
    if (!best) {
        return false;
    }
    // The true offset lies within half a round trip of each exchange's, and the two may
    // differ by no more than the clocks drifted apart between them.
    const double apart = std::abs(static_cast<double>(wrappingSub(t4, best->localNs)));
    const double allowed = static_cast<double>(exchange.rttNs + best->rttNs) / 2.0 +
                           clockJumpMaxDrift * apart + static_cast<double>(clockJumpMarginNs);
    return std::abs(static_cast<double>(exchange.offsetNs - best->offsetNs)) > allowed;
}

void SpeakerSession::replanIfClockMoved() {
    const std::optional<StartPlan>& plan = player_->plan();
    if (!player_->spec || !plan || !plannedOffsetNs_) {
        return;
    }
    // While the start still lies ahead a new plan is silent, and the start lands where the
    // better estimate puts it instead of being trimmed towards it for seconds. Once playing,
    // the rate trim follows small moves; a large one (the first event-grid estimate replacing
    // the round-trip one, half an interval away) is a jump the trim would take seconds over,
    // and would teach it a drift that is not there: it starts the song there again instead.
    const int64_t now = context_.clock.nowNs();
    const bool ahead = plan->localStartNs - now >= SyncPlayer::minLeadNs;
    const std::optional<int64_t> offset = playerOffsetNs(now);
    if (!offset) {
        return;
    }
    // What the estimate would be now had it only moved with the clocks' skew.
    int64_t expected = *plannedOffsetNs_;
    if (!ahead && lastOffset_) {
        expected =
            lastOffset_->offsetNs + std::llround(gridClock_.skew().value_or(0.0) *
                                                 static_cast<double>(now - lastOffset_->atNs));
    }
    lastOffset_ = {now, *offset};
    if (std::abs(*offset - expected) <= (ahead ? replanThresholdNs : resyncThresholdNs)) {
        return;
    }
    if (!ahead) {
        log_.info(sync, "clock estimate moved {:.2f} ms while playing",
                  static_cast<double>(*offset - expected) / 1e6);
    }
    plannedOffsetNs_ = offset;
    player_->schedule("clock update");
}

std::optional<int64_t> SpeakerSession::playerOffsetNs(int64_t nowNs) const {
    if (clockEstimate_ == ClockEstimate::eventGrid && clock_.isSynced()) {
        if (const auto grid = gridClock_.estimate(nowNs)) {
            return grid->offsetNs;
        }
    }
    return clock_.offsetNs();
}

void SpeakerSession::playerEnded() {
    // lastPlay stays: a repeat of the same PLAY is still ignored.
    currentPlay_.reset();
    focusKey_.reset();
    updateState();
}

} // namespace merriphonic
