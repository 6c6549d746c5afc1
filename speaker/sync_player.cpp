#include "speaker/sync_player.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>
#include <variant>

#include "core/time_units.h"
#include "platform/log.h"
#include "platform/threaded_audio_feeder.h"
#include "speaker/player_pipeline.h"

namespace merriphonic {

namespace {

constexpr int64_t maxLatencyNs = 2'000'000'000;
constexpr int64_t maxSegmentFrames = std::numeric_limits<uint32_t>::max();

} // namespace

std::shared_ptr<SyncPlayer> SyncPlayer::create(DeviceContext& context, std::string label) {
    auto player = std::make_shared<SyncPlayer>(Passkey{}, context, std::move(label));
    player->init();
    return player;
}

SyncPlayer::SyncPlayer(Passkey /*key*/, DeviceContext& context, std::string label)
    : label(std::move(label)), context_(context) {}

SyncPlayer::~SyncPlayer() {
    if (engine_) {
        engine_->setConfigurationChangeHandler(nullptr);
        engine_->stop();
    }
    if (feeder_) {
        feeder_->stop();
    }
}

void SyncPlayer::init() {
    if (context_.audio != nullptr) {
        engine_ = context_.audio->makeOutput(context_.main);
        std::weak_ptr<SyncPlayer> weak = weak_from_this();
        engine_->setConfigurationChangeHandler([weak](const AudioConfigurationChange& change) {
            if (auto self = weak.lock()) {
                self->configurationChanged(change);
            }
        });
    }
    connect(standardFormat);
}

void SyncPlayer::connect(const AudioFormat& format) {
    // The output and the decoder must be quiet while their pipeline is replaced.
    if (engine_) {
        engine_->stop();
    }
    if (feeder_) {
        feeder_->stop();
        feeder_.reset();
    }
    std::weak_ptr<SyncPlayer> weak = weak_from_this();
    RunLoop* main = &context_.main;
    auto onEnd = [weak, main](uint64_t g, int64_t heardNs) {
        main->post([weak, g, heardNs] {
            if (auto self = weak.lock()) {
                self->segmentHeard(g, heardNs);
            }
        });
    };
    auto onError = [weak, main](const std::string& description) {
        main->post([weak, description] {
            if (auto self = weak.lock()) {
                self->context_.log.error(LogCategory::player, "[{}] decoding failed: {}",
                                         self->label, description);
            }
        });
    };
    pipeline_ = std::make_unique<PlayerPipeline>(format, std::move(onEnd), std::move(onError));
    pipeline_->play(PlayerSegment{generation_, false, 0, 0, 0});
    pipeline_->setRate(varispeedRate_);
    pipeline_->setVolume(nodeVolume_);
    if (file_) {
        pipeline_->setReader(file_->reader);
    }
    if (engine_) {
        feeder_ = engine_->makeFeeder();
        if (!feeder_) {
            feeder_ = std::make_unique<ThreadedAudioFeeder>("audio-feed");
        }
        feeder_->start(*pipeline_);
    }
    connectedFormat_ = format;
}

void SyncPlayer::startEngine() {
    if (!engine_) {
        context_.log.error(LogCategory::player, "[{}] engine start failed: {}", label,
                           "no audio output");
        return;
    }
    if (engine_->isRunning()) {
        return;
    }
    if (const auto started = engine_->start(*connectedFormat_, *pipeline_); !started) {
        context_.log.error(LogCategory::player, "[{}] engine start failed: {}", label,
                           started.error());
        return;
    }
    context_.log.info(LogCategory::player, "[{}] engine started, output latency {} ms", label,
                      outputLatencyNs() / nsPerMs);
}

void SyncPlayer::stop() {
    ++generation_;
    spec.reset();
    plan_.reset();
    pendingResync_.cancel();
    pendingEnd_.cancel();
    pipeline_->play(PlayerSegment{generation_, false, 0, 0, 0});
    setRate(1.0F);
    driftTimer_.cancel();
}

void SyncPlayer::stopEngine() {
    stop();
    if (engine_ && engine_->isRunning()) {
        engine_->stop();
        context_.log.info(LogCategory::player, "[{}] engine stopped", label);
    }
}

MediaStatus SyncPlayer::load(const std::filesystem::path& url) {
    if (fileUrl_ == url && file_) {
        return Done{};
    }
    if (context_.media == nullptr) {
        return MediaError{MediaErrorKind::setup, "no media toolkit"};
    }
    auto opened = context_.media->openReader(url);
    if (!opened) {
        return opened.error();
    }
    std::shared_ptr<AudioFileReader> reader = std::move(*opened);
    if (reader->sampleRate() <= 0 || reader->channels() <= 0) {
        return MediaError{MediaErrorKind::noAudio, "the file declares no usable audio format"};
    }
    OpenFile file{reader, static_cast<double>(reader->sampleRate()), reader->channels(),
                  reader->lengthFrames()};
    stop();
    file_ = std::move(file);
    fileUrl_ = url;
    const AudioFormat format{reader->sampleRate(), reader->channels()};
    if (!connectedFormat_ || *connectedFormat_ != format) {
        connect(format);
    } else {
        pipeline_->setReader(file_->reader);
    }
    context_.log.info(LogCategory::player, "[{}] loaded {} {:.6f} Hz × {}, {} frames", label,
                      url.filename().string(), file_->sampleRate, file_->channels,
                      file_->lengthFrames);
    return Done{};
}

void SyncPlayer::schedule(std::string_view reason) {
    if (!file_ || !spec) {
        return;
    }
    startEngine();
    const uint64_t g = ++generation_;
    setRate(1.0F);
    lastErrorMs_.reset();
    pendingEnd_.cancel();

    const std::optional<StartPlan> planned = PlaybackMath::startPlan(
        *spec, timing(), file_->sampleRate, file_->lengthFrames, context_.clock.nowNs(), minLeadNs);
    if (!planned) {
        plan_.reset();
        pipeline_->play(PlayerSegment{g, false, 0, 0, 0});
        context_.log.info(LogCategory::player, "[{}] nothing left to play (position past end)",
                          label);
        std::weak_ptr<SyncPlayer> weak = weak_from_this();
        context_.main.post([weak, g] {
            if (auto self = weak.lock()) {
                self->segmentFinished(g);
            }
        });
        return;
    }
    plan_ = planned;
    const int64_t count =
        std::clamp<int64_t>(file_->lengthFrames - planned->startFrame, 0, maxSegmentFrames);
    pipeline_->play(PlayerSegment{g, true, planned->startFrame, count, planned->localStartNs});
    if (feeder_) {
        feeder_->wake();
    }
    const double inMs =
        static_cast<double>(planned->localStartNs - context_.clock.nowNs()) / nsPerMs;
    context_.log.info(LogCategory::player, "[{}] {}: frame {} in {:.1f} ms{}", label, reason,
                      planned->startFrame, inMs, planned->isLateJoin ? " (late join)" : "");
}

void SyncPlayer::startDriftTimer() {
    if (driftTimer_.isActive()) {
        return;
    }
    std::weak_ptr<SyncPlayer> weak = weak_from_this();
    driftTimer_ = context_.main.every(driftPeriodNs, [weak] {
        if (auto self = weak.lock()) {
            self->measure();
        }
    });
}

int64_t SyncPlayer::outputLatencyNs() const {
    if (!engine_) {
        return 0;
    }
    const int64_t latency = engine_->outputLatencyNs();
    return latency >= 0 && latency < maxLatencyNs ? latency : 0;
}

bool SyncPlayer::isEngineRunning() const {
    return engine_ && engine_->isRunning();
}

RenderPosition SyncPlayer::renderPosition() const {
    return pipeline_->position();
}

int64_t SyncPlayer::underrunFrames() const {
    return pipeline_->underrunFrames();
}

OutputTiming SyncPlayer::timing() const {
    return OutputTiming{offsetProvider ? offsetProvider() : 0, delayMs_, outputLatencyNs()};
}

void SyncPlayer::measure() {
    if (!spec || !plan_ || !file_) {
        return;
    }
    if (!isEngineRunning()) {
        return;
    }
    // A re-schedule for a changed output is on its way; what the old plan measures now is
    // stale and would only teach the controller a drift that is not there.
    if (pendingResync_.isActive()) {
        return;
    }
    const RenderPosition position = pipeline_->position();
    if (!position.valid || position.generation != generation_) {
        return;
    }
    const double sampleRate = file_->sampleRate;
    const double played = position.framesSinceStart;
    if (played <= std::trunc(sampleRate * unmeasuredSeconds)) {
        return;
    }
    const double frame = static_cast<double>(plan_->startFrame) + played;
    const double expectedMs = PlaybackMath::expectedMediaMs(position.handOffNs, *spec, timing());
    const double errorMs = frame / sampleRate * 1000.0 - expectedMs;
    lastErrorMs_ = errorMs;

    const DriftController::Action action = drift_.update(errorMs);
    if (const auto* rate = std::get_if<DriftController::Rate>(&action)) {
        const auto rate32 = static_cast<float>(rate->factor);
        if (rate32 != varispeedRate_) {
            context_.log.debug(LogCategory::sync,
                               "[{}] error {:.2f} ms → rate {:.5f} (learned drift {:.0f} ppm)",
                               label, errorMs, rate->factor, drift_.integral * 1'000'000);
        }
        setRate(rate32);
        return;
    }
    context_.log.info(LogCategory::sync, "[{}] error {:.1f} ms > 40 → hard re-sync", label,
                      errorMs);
    schedule("re-sync");
}

void SyncPlayer::segmentHeard(uint64_t g, int64_t heardNs) {
    if (g != generation_ || !spec) {
        return;
    }
    std::weak_ptr<SyncPlayer> weak = weak_from_this();
    pendingEnd_ = context_.main.after(heardNs - context_.clock.nowNs(), [weak, g] {
        if (auto self = weak.lock()) {
            self->segmentFinished(g);
        }
    });
}

void SyncPlayer::segmentFinished(uint64_t g) {
    if (generation_ != g || !spec) {
        return;
    }
    context_.log.info(LogCategory::player, "[{}] end of track", label);
    spec.reset();
    plan_.reset();
    driftTimer_.cancel();
    if (onEnded) {
        onEnded();
    }
}

void SyncPlayer::setGroupVolume(double volume) {
    groupVolume_ = volume;
    applyVolume();
}

void SyncPlayer::setLocalVolume(double volume) {
    localVolume_ = volume;
    applyVolume();
}

void SyncPlayer::applyVolume() {
    const double product = groupVolume_ * localVolume_;
    nodeVolume_ = product > 0.0 ? static_cast<float>(std::min(product, 1.0)) : 0.0F;
    pipeline_->setVolume(nodeVolume_);
}

void SyncPlayer::setRate(float rate) {
    varispeedRate_ = rate;
    pipeline_->setRate(rate);
}

void SyncPlayer::configurationChanged(const AudioConfigurationChange& change) {
    (void)change; // every kind is handled alike
    context_.log.info(LogCategory::player, "[{}] engine configuration changed → restart + re-sync",
                      label);
    startEngine();
    debouncedResync("config change");
}

void SyncPlayer::debouncedResync(std::string reason) {
    std::weak_ptr<SyncPlayer> weak = weak_from_this();
    pendingResync_ = context_.main.after(resyncDebounceNs, [weak, reason = std::move(reason)] {
        if (auto self = weak.lock()) {
            self->pendingResync_.cancel();
            if (self->spec) {
                self->schedule(reason);
            }
        }
    });
}

} // namespace merriphonic
