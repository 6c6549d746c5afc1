#include "platform/sim/sim_audio_output.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <ctime>
#include <fstream>
#include <utility>

#include "core/time_units.h"
#include "platform/audio_position_probe.h"
#include "platform/run_loop.h"
#include "platform/sim/sim_clock.h"

namespace merriphonic {

namespace {

int64_t threadCpuNs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

void putLe(std::ofstream& out, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out.put(static_cast<char>((value >> (8 * i)) & 0xFFU));
    }
}

} // namespace

struct SimAudioOutput::FeedLink {
    AudioFeed* feed = nullptr;
    int64_t cpuNs = 0;

    void run() {
        if (feed != nullptr) {
            const int64_t before = threadCpuNs();
            feed->feed();
            cpuNs += threadCpuNs() - before;
        }
    }
};

struct SimAudioOutput::ChangeState {
    ChangeHandler handler;
};

// Runs the feed inline: before each render call of the card, and on the spot when woken.
class SimAudioOutput::Feeder final : public AudioFeeder {
public:
    explicit Feeder(std::shared_ptr<FeedLink> link) : link_(std::move(link)) {}
    ~Feeder() override { stop(); }

    void start(AudioFeed& feed) override { link_->feed = &feed; }
    void wake() override { link_->run(); }
    void stop() override { link_->feed = nullptr; }

private:
    std::shared_ptr<FeedLink> link_;
};

SimAudioOutput::SimAudioOutput(SimWorld& world, const SimClock& deviceClock, RunLoop& main,
                               SimAudioCardConfig config, std::string name)
    : world_(world), clock_(deviceClock), main_(main), config_(std::move(config)),
      name_(std::move(name)),
      loop_(std::make_shared<SimLoopState>(SimLoopState{name_ + ".audio", true})),
      feed_(std::make_shared<FeedLink>()), changes_(std::make_shared<ChangeState>()) {
    config_.periodFrames = std::max(config_.periodFrames, 1);
}

SimAudioOutput::~SimAudioOutput() {
    if (running_) {
        writeConfiguredWav();
    }
    loop_->alive = false;
    changes_.reset();
    if (onDestroyed_) {
        onDestroyed_();
    }
}

Result<Done, std::string> SimAudioOutput::start(const AudioFormat& format,
                                                AudioRenderer& renderer) {
    stop();
    if (auto checked = checkAudioFormat(format); !checked) {
        return checked;
    }
    format_ = format;
    renderer_ = &renderer;
    probe_ = renderer.positionProbe();
    buffer_.assign(static_cast<size_t>(config_.periodFrames) * static_cast<size_t>(format.channels),
                   0.0F);
    captured_.clear();
    spans_.clear();
    running_ = true;
    ++runToken_;
    ++run_;
    nextFrame_ = 0;
    anchorFrame_ = 0;
    // The first buffer is handed off two periods from now and rendered one period ahead.
    anchorWorldNs_ =
        world_.nowNs() + std::llround(2.0 * config_.periodFrames * nsPerSecond / format.sampleRate);
    interruptedUntilNs_ = 0;
    scheduleTick();
    return Done{};
}

void SimAudioOutput::stop() {
    if (!running_) {
        return;
    }
    writeConfiguredWav();
    running_ = false;
    ++runToken_;
    renderer_ = nullptr;
    probe_ = nullptr;
}

int64_t SimAudioOutput::outputLatencyNs() const {
    return config_.outputLatencyNs + config_.latencyReportErrorNs;
}

void SimAudioOutput::setConfigurationChangeHandler(ChangeHandler handler) {
    changes_->handler = std::move(handler);
}

std::unique_ptr<AudioFeeder> SimAudioOutput::makeFeeder() {
    return std::make_unique<Feeder>(feed_);
}

int64_t SimAudioOutput::feedCpuNs() const {
    return feed_->cpuNs;
}

double SimAudioOutput::nsPerFrame() const {
    return nsPerSecond / (format_.sampleRate * (1.0 + config_.crystalPpm / 1e6));
}

int64_t SimAudioOutput::worldAtFrame(int64_t frame) const {
    return anchorWorldNs_ + std::llround(static_cast<double>(frame - anchorFrame_) * nsPerFrame());
}

void SimAudioOutput::scheduleTick() {
    const int64_t leadNs =
        std::llround(static_cast<double>(config_.periodFrames) * nsPerSecond / format_.sampleRate);
    const uint64_t token = runToken_;
    world_.scheduleOn(worldAtFrame(nextFrame_) - leadNs, loop_, [this, token] { tick(token); });
}

void SimAudioOutput::tick(uint64_t runToken) {
    if (!running_ || runToken != runToken_) {
        return;
    }
    const int frames = config_.periodFrames;
    const int64_t handOffWorldNs = worldAtFrame(nextFrame_);
    SimHeardBuffer record;
    record.run = run_;
    record.firstFrame = nextFrame_;
    record.frames = frames;
    record.handOffNs = clock_.deviceTimeAt(handOffWorldNs);
    record.heardWorldNs = handOffWorldNs + config_.outputLatencyNs;

    feed_->run();
    if (world_.nowNs() >= interruptedUntilNs_) {
        const int64_t before = threadCpuNs();
        renderer_->render(buffer_.data(), frames, RenderInfo{record.handOffNs, outputLatencyNs()});
        renderCpuNs_ += threadCpuNs() - before;
        ++renderCalls_;
        record.rendered = true;
        if (probe_ != nullptr) {
            record.mediaFrame = probe_->mediaFrameAtLastBuffer();
        }
    } else {
        std::fill(buffer_.begin(), buffer_.end(), 0.0F);
    }
    if (config_.captureAudio) {
        captured_.insert(captured_.end(), buffer_.begin(), buffer_.end());
        const double heardNs = static_cast<double>(anchorWorldNs_) +
                               static_cast<double>(nextFrame_ - anchorFrame_) * nsPerFrame() +
                               static_cast<double>(config_.outputLatencyNs);
        spans_.push_back(CaptureSpan{nextFrame_, heardNs, nsPerFrame()});
    }
    if (config_.recordBuffers) {
        heard_.push_back(record);
    }
    if (heardHandler_) {
        heardHandler_(record);
    }
    if (!running_ || runToken != runToken_) {
        return; // the handler stopped the card
    }
    nextFrame_ += frames;
    scheduleTick();
}

std::optional<double> SimAudioOutput::heardWorldNsOfFrame(double frame) const {
    if (spans_.empty() || frame < 0.0) {
        return std::nullopt;
    }
    const auto index = static_cast<size_t>(frame / config_.periodFrames);
    if (index >= spans_.size()) {
        return std::nullopt;
    }
    const CaptureSpan& span = spans_[index];
    return span.heardWorldNs + (frame - static_cast<double>(span.firstFrame)) * span.nsPerFrame;
}

void SimAudioOutput::setCrystalPpm(double ppm) {
    if (running_) {
        anchorWorldNs_ = worldAtFrame(nextFrame_);
        anchorFrame_ = nextFrame_;
    }
    config_.crystalPpm = ppm;
}

void SimAudioOutput::changeLatency(int64_t trueLatencyNs, int64_t reportErrorNs) {
    config_.outputLatencyNs = trueLatencyNs;
    config_.latencyReportErrorNs = reportErrorNs;
    report(AudioChangeKind::latency, fmt::format("latency {} ns", outputLatencyNs()));
}

void SimAudioOutput::reportChange(AudioChangeKind kind, std::string detail) {
    report(kind, std::move(detail));
}

void SimAudioOutput::fail(std::string detail) {
    stop();
    report(AudioChangeKind::error, std::move(detail));
}

void SimAudioOutput::interrupt(int64_t durationNs) {
    interruptedUntilNs_ = world_.nowNs() + std::max<int64_t>(durationNs, 0);
    const uint64_t token = runToken_;
    world_.scheduleOn(interruptedUntilNs_, loop_, [this, token] {
        if (running_ && token == runToken_) {
            report(AudioChangeKind::recovered, "interruption over");
        }
    });
}

void SimAudioOutput::report(AudioChangeKind kind, std::string detail) {
    std::weak_ptr<ChangeState> weak = changes_;
    main_.post([weak, change = AudioConfigurationChange{kind, std::move(detail)}] {
        if (auto state = weak.lock()) {
            // A copy: the handler may replace itself.
            const ChangeHandler handler = state->handler;
            if (handler) {
                handler(change);
            }
        }
    });
}

void SimAudioOutput::writeConfiguredWav() const {
    if (config_.captureAudio && !config_.wavPath.empty()) {
        writeWav(config_.wavPath);
    }
}

bool SimAudioOutput::writeWav(const std::filesystem::path& path) const {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) {
        return false;
    }
    const auto channels = static_cast<uint32_t>(std::max(format_.channels, 1));
    const auto rate = static_cast<uint32_t>(std::max(format_.sampleRate, 1));
    const auto dataBytes = static_cast<uint32_t>(captured_.size() * sizeof(float));
    const uint32_t frames = dataBytes / (channels * 4);
    out.write("RIFF", 4);
    putLe(out, 4 + (8 + 18) + (8 + 4) + (8 + dataBytes), 4);
    out.write("WAVE", 4);
    out.write("fmt ", 4);
    putLe(out, 18, 4);
    putLe(out, 3, 2); // IEEE float
    putLe(out, channels, 2);
    putLe(out, rate, 4);
    putLe(out, rate * channels * 4, 4);
    putLe(out, channels * 4, 2);
    putLe(out, 32, 2);
    putLe(out, 0, 2);
    out.write("fact", 4);
    putLe(out, 4, 4);
    putLe(out, frames, 4);
    out.write("data", 4);
    putLe(out, dataBytes, 4);
    out.write(reinterpret_cast<const char*>(captured_.data()), dataBytes);
    return static_cast<bool>(out);
}

SimAudioOutputFactory::SimAudioOutputFactory(SimWorld& world, const SimClock& deviceClock,
                                             SimAudioCardConfig config, std::string name)
    : world_(world), clock_(deviceClock), config_(std::move(config)), name_(std::move(name)),
      live_(std::make_shared<std::vector<SimAudioOutput*>>()) {}

SimAudioOutputFactory::~SimAudioOutputFactory() {
    for (SimAudioOutput* output : *live_) {
        output->onDestroyed_ = nullptr;
    }
}

std::unique_ptr<AudioOutput> SimAudioOutputFactory::makeOutput(RunLoop& main) {
    ++made_;
    auto output = std::make_unique<SimAudioOutput>(world_, clock_, main, config_,
                                                   fmt::format("{}{}", name_, made_));
    SimAudioOutput* raw = output.get();
    live_->push_back(raw);
    std::weak_ptr<std::vector<SimAudioOutput*>> live = live_;
    output->onDestroyed_ = [live, raw] {
        if (auto list = live.lock()) {
            list->erase(std::remove(list->begin(), list->end(), raw), list->end());
        }
    };
    return output;
}

SimAudioOutput* SimAudioOutputFactory::output() const {
    return live_->empty() ? nullptr : live_->back();
}

} // namespace merriphonic
