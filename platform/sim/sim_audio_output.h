#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio_feeder.h"
#include "platform/audio_output.h"
#include "platform/sim/sim_world.h"

namespace merriphonic {

class AudioPositionProbe;
class SimClock;

// The physics of a virtual sound card.
struct SimAudioCardConfig {
    // Crystal error: the card consumes frames at sampleRate × (1 + crystalPpm / 10^6) of true
    // (world) time.
    double crystalPpm = 0.0;
    // The true delay from hand-off to sound, in world time.
    int64_t outputLatencyNs = 0;
    // What outputLatencyNs() reports minus the truth: a device that misstates its latency.
    int64_t latencyReportErrorNs = 0;
    // Frames per render call.
    int periodFrames = 256;
    // Keep a SimHeardBuffer per buffer (heardBuffers()).
    bool recordBuffers = true;
    // Keep what was heard since the last start (capturedAudio()).
    bool captureAudio = false;
    // With captureAudio: also write the capture to this WAV file when the stream stops and
    // when the output goes away.
    std::filesystem::path wavPath = {};

    bool operator==(const SimAudioCardConfig&) const = default;
};

// One buffer as it left the virtual card.
struct SimHeardBuffer {
    int run = 0;            // counts starts of the output, from 1
    int64_t firstFrame = 0; // of this run's stream
    int frames = 0;
    int64_t handOffNs = 0;    // as the renderer was told, on the device clock
    int64_t heardWorldNs = 0; // true world time at which the first frame is heard
    bool rendered = false;    // false: silence, the renderer was not called (interruption)
    // The media frame the renderer placed at the first frame, when it can tell
    // (AudioPositionProbe) and the buffer held media.
    std::optional<double> mediaFrame;

    bool operator==(const SimHeardBuffer&) const = default;
};

// A virtual sound card driven by the SimWorld: it calls the renderer from world events at the
// instants its crystal dictates, one period before each buffer's hand-off, and gives hand-off
// times on the device's clock exactly as the timing contract of RenderInfo states. It runs
// feeds in step with its render calls (inline, before each one), so a simulated player stays on
// one thread and deterministic. Everything it hears is recorded with the true world time.
//
// Configuration changes can be injected; like a real output it reports them on the main loop
// given at construction, never from inside a member function and never after it is destroyed.
// The world, the clock and the main loop must outlive it.
class SimAudioOutput final : public AudioOutput {
public:
    SimAudioOutput(SimWorld& world, const SimClock& deviceClock, RunLoop& main,
                   SimAudioCardConfig config = {}, std::string name = "card");
    ~SimAudioOutput() override;

    Result<Done, std::string> start(const AudioFormat& format, AudioRenderer& renderer) override;
    void stop() override;
    [[nodiscard]] bool isRunning() const override { return running_; }
    [[nodiscard]] AudioFormat format() const override { return format_; }
    // The true latency plus the configured report error.
    [[nodiscard]] int64_t outputLatencyNs() const override;
    void setConfigurationChangeHandler(ChangeHandler handler) override;
    std::unique_ptr<AudioFeeder> makeFeeder() override;

    // Injections. The crystal changes from the next buffer on, without a jump.
    void setCrystalPpm(double ppm);
    // A new latency (and report error) from the next buffer on; reported as a latency change.
    void changeLatency(int64_t trueLatencyNs, int64_t reportErrorNs = 0);
    // Only reports a change (a format or device change the card survives unchanged).
    void reportChange(AudioChangeKind kind, std::string detail = {});
    // The stream dies: rendering stops, isRunning() turns false and an error is reported.
    void fail(std::string detail = "device lost");
    // The renderer is not called for a while (the card plays silence and keeps its clock),
    // then the card reports that it recovered.
    void interrupt(int64_t durationNs);

    // What was heard.
    [[nodiscard]] const std::vector<SimHeardBuffer>& heardBuffers() const { return heard_; }
    void clearHeard() { heard_.clear(); }
    // Called for every buffer as it is recorded.
    void setHeardHandler(std::function<void(const SimHeardBuffer&)> handler) {
        heardHandler_ = std::move(handler);
    }
    // Interleaved samples heard since the last start (with captureAudio).
    [[nodiscard]] const std::vector<float>& capturedAudio() const { return captured_; }
    // The true world time at which a (fractional) frame of the capture was heard.
    [[nodiscard]] std::optional<double> heardWorldNsOfFrame(double frame) const;
    // Writes the capture as a 32-bit float WAV file.
    bool writeWav(const std::filesystem::path& path) const;

    [[nodiscard]] const SimAudioCardConfig& config() const { return config_; }
    [[nodiscard]] int64_t trueLatencyNs() const { return config_.outputLatencyNs; }
    [[nodiscard]] double crystalPpm() const { return config_.crystalPpm; }
    [[nodiscard]] int startCount() const { return run_; }
    [[nodiscard]] int64_t renderCalls() const { return renderCalls_; }
    // Thread CPU time spent in render() and in feeds, for cost measurements.
    [[nodiscard]] int64_t renderCpuNs() const { return renderCpuNs_; }
    [[nodiscard]] int64_t feedCpuNs() const;

private:
    friend class SimAudioOutputFactory;
    struct FeedLink;
    class Feeder;
    struct ChangeState;
    struct CaptureSpan {
        int64_t firstFrame = 0;
        double heardWorldNs = 0.0;
        double nsPerFrame = 0.0;
    };

    void tick(uint64_t runToken);
    void scheduleTick();
    [[nodiscard]] int64_t worldAtFrame(int64_t frame) const;
    [[nodiscard]] double nsPerFrame() const;
    void report(AudioChangeKind kind, std::string detail);
    void writeConfiguredWav() const;

    SimWorld& world_;
    const SimClock& clock_;
    RunLoop& main_;
    SimAudioCardConfig config_;
    std::string name_;
    std::shared_ptr<SimLoopState> loop_;
    std::shared_ptr<FeedLink> feed_;
    std::shared_ptr<ChangeState> changes_;
    std::function<void()> onDestroyed_;

    AudioFormat format_;
    AudioRenderer* renderer_ = nullptr;
    const AudioPositionProbe* probe_ = nullptr;
    bool running_ = false;
    uint64_t runToken_ = 0; // events of an earlier run do nothing
    int run_ = 0;
    std::vector<float> buffer_;
    int64_t nextFrame_ = 0;
    int64_t anchorFrame_ = 0;
    int64_t anchorWorldNs_ = 0;
    int64_t interruptedUntilNs_ = 0;

    std::vector<SimHeardBuffer> heard_;
    std::function<void(const SimHeardBuffer&)> heardHandler_;
    std::vector<float> captured_;
    std::vector<CaptureSpan> spans_;
    int64_t renderCalls_ = 0;
    int64_t renderCpuNs_ = 0;
};

// Makes virtual sound cards for one simulated device.
class SimAudioOutputFactory final : public AudioOutputFactory {
public:
    SimAudioOutputFactory(SimWorld& world, const SimClock& deviceClock,
                          SimAudioCardConfig config = {}, std::string name = "card");
    ~SimAudioOutputFactory() override;
    SimAudioOutputFactory(const SimAudioOutputFactory&) = delete;
    SimAudioOutputFactory& operator=(const SimAudioOutputFactory&) = delete;

    std::unique_ptr<AudioOutput> makeOutput(RunLoop& main) override;

    // The configuration of outputs made from now on.
    [[nodiscard]] SimAudioCardConfig& config() { return config_; }
    // The newest output that still exists, or null.
    [[nodiscard]] SimAudioOutput* output() const;
    [[nodiscard]] int madeCount() const { return made_; }

private:
    SimWorld& world_;
    const SimClock& clock_;
    SimAudioCardConfig config_;
    std::string name_;
    std::shared_ptr<std::vector<SimAudioOutput*>> live_;
    int made_ = 0;
};

} // namespace merriphonic
