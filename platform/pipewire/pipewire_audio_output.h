#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/audio_output.h"

namespace merriphonic {

class RunLoop;

// Plays through a PipeWire playback stream that the session manager links to the default
// sink. The stream renders on PipeWire's real-time data thread and asks for a small quantum
// so that buffers, and with them the timing, are fine-grained. The timing of each buffer comes
// from the stream's clock (see StreamTiming).
//
// Configuration changes reported:
//  - error: the stream failed or the connection to the daemon was lost. The output has
//    stopped (isRunning() is false) by the time the handler runs; start() may be tried again.
//  - device: the stream lost its device (unlinked, the sink went away), or got one after a
//    start() that returned before the stream was linked.
//  - recovered: the stream plays again after losing its device.
//  - format: the graph's rate changed, or the stream's format was negotiated anew.
//  - latency: the delay to sound moved by more than Options::latencyToleranceNs, or became
//    known after start() returned.
class PipeWireAudioOutput final : public AudioOutput {
public:
    struct Options {
        std::string nodeName = "merriphonic";
        std::string description = "Merriphonic";
        // Requested quantum in frames of the stream's rate (the graph may choose otherwise).
        int quantumFrames = 256;
        // A node name or serial to link to instead of the default sink; empty for the default.
        std::string target;
        // The delay to sound is republished (with a latency change, which re-schedules the
        // player audibly) only when it moves by more than this; smaller variation goes into
        // RenderInfo::handOffNs, where the drift trim (0.3 %) absorbs what is real within
        // about two seconds, without a sound. Devices' reported delays wobble by a millisecond
        // or two, and a quantum change moves the delay of a device whose buffer follows the
        // quantum by the difference of the quanta (256 to 1024 frames at 48 kHz: 16 ms), which a
        // re-schedule mends faster. (A null sink reports no delay at any quantum.)
        int64_t latencyToleranceNs = 5'000'000;
    };

    explicit PipeWireAudioOutput(RunLoop& main);
    PipeWireAudioOutput(RunLoop& main, Options options);
    ~PipeWireAudioOutput() override;

    Result<Done, std::string> start(const AudioFormat& format, AudioRenderer& renderer) override;
    void stop() override;
    [[nodiscard]] bool isRunning() const override;
    [[nodiscard]] AudioFormat format() const override;
    [[nodiscard]] int64_t outputLatencyNs() const override;
    void setConfigurationChangeHandler(ChangeHandler handler) override;

    struct State;

private:
    std::shared_ptr<State> state_;
};

class PipeWireAudioOutputFactory final : public AudioOutputFactory {
public:
    PipeWireAudioOutputFactory() = default;
    explicit PipeWireAudioOutputFactory(PipeWireAudioOutput::Options options)
        : options_(std::move(options)) {}

    std::unique_ptr<AudioOutput> makeOutput(RunLoop& main) override {
        return std::make_unique<PipeWireAudioOutput>(main, options_);
    }

private:
    PipeWireAudioOutput::Options options_;
};

} // namespace merriphonic
