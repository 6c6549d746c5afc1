#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/audio_output.h"

namespace merriphonic {

class RunLoop;

// A silent output for machines without sound: a real-time thread wakes on CLOCK_MONOTONIC
// once per period and renders one buffer, as a sound card would consume it. The buffer of
// tick k has handOffNs = the start instant + k periods (the scheduled wake-up, not the
// actual one) and no output latency, so the timeline is exact however late the thread wakes.
// A thread that falls more than maxLagNs behind (suspended, debugger) drops the ticks it
// missed and continues on the same grid, like a device recovering from an underrun.
class NullAudioOutput final : public AudioOutput {
public:
    static constexpr int defaultPeriodFrames = 256;
    static constexpr int64_t maxLagNs = 100'000'000;

    explicit NullAudioOutput(RunLoop& main, int periodFrames = defaultPeriodFrames);
    ~NullAudioOutput() override;

    Result<Done, std::string> start(const AudioFormat& format, AudioRenderer& renderer) override;
    void stop() override;
    [[nodiscard]] bool isRunning() const override { return thread_.joinable(); }
    [[nodiscard]] AudioFormat format() const override { return format_; }
    [[nodiscard]] int64_t outputLatencyNs() const override { return 0; }
    // The null output never changes its configuration.
    void setConfigurationChangeHandler(ChangeHandler handler) override {
        handler_ = std::move(handler);
    }

    [[nodiscard]] int periodFrames() const { return periodFrames_; }

private:
    void run(int64_t startNs);

    int periodFrames_;
    AudioFormat format_;
    AudioRenderer* renderer_ = nullptr;
    std::vector<float> buffer_;
    ChangeHandler handler_;
    std::atomic<bool> quit_{false};
    std::thread thread_;
};

class NullAudioOutputFactory final : public AudioOutputFactory {
public:
    explicit NullAudioOutputFactory(int periodFrames = NullAudioOutput::defaultPeriodFrames)
        : periodFrames_(periodFrames) {}
    std::unique_ptr<AudioOutput> makeOutput(RunLoop& main) override {
        return std::make_unique<NullAudioOutput>(main, periodFrames_);
    }

private:
    int periodFrames_;
};

} // namespace merriphonic
