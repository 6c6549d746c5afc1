#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/drift_controller.h"
#include "core/playback_math.h"
#include "platform/audio_feeder.h"
#include "platform/audio_output.h"
#include "platform/device_context.h"
#include "platform/media.h"
#include "platform/run_loop.h"
#include "speaker/player_pipeline.h"

namespace merriphonic {

// Plays one audio file so that its samples leave this device at the moments a shared timeline
// prescribes, and keeps them there: the timeline is a PlaySpec on the host clock, converted
// with an offset the owner supplies; once a second the player measures where playback really
// is and trims the rate, or starts over when it is too far off.
//
// Lives on the main loop of its DeviceContext; its timers and clock come from there, so in a
// simulation it runs in virtual time. The audio renders on the output's real-time thread and
// decoding runs ahead on a feeder (see PlayerPipeline).
class SyncPlayer : public std::enable_shared_from_this<SyncPlayer> {
    struct Passkey {};

public:
    using OffsetProvider = std::function<int64_t()>;

    // The least time between planning and the start of output.
    static constexpr int64_t minLeadNs = 120'000'000;
    static constexpr int64_t driftPeriodNs = 1'000'000'000;
    static constexpr int64_t resyncDebounceNs = 300'000'000;
    // The first 0.3 s after a start are not measured.
    static constexpr double unmeasuredSeconds = 0.3;
    static constexpr AudioFormat standardFormat{44100, 2};

    // Sets the player up with its label (the prefix of its log lines) and connects the graph
    // in the standard format; the output is not started yet.
    static std::shared_ptr<SyncPlayer> create(DeviceContext& context, std::string label);
    SyncPlayer(Passkey, DeviceContext& context, std::string label);
    ~SyncPlayer();
    SyncPlayer(const SyncPlayer&) = delete;
    SyncPlayer& operator=(const SyncPlayer&) = delete;

    // Starts the output if it is not running; a failure is logged, never thrown.
    void startEngine();
    // Forgets what was scheduled and goes silent; the output keeps running, the file stays
    // loaded.
    void stop();
    // Releases the sound output until the next startEngine() (a party has ended).
    void stopEngine();
    // Opens a file; the same file again changes nothing. On failure the previous file stays
    // loaded and playing and the reader's error is returned.
    MediaStatus load(const std::filesystem::path& url);
    // Plans and starts playback of spec from now; the reason is only logged.
    void schedule(std::string_view reason);
    // Runs measure() every second from now on (once started, until the song ends or stops).
    void startDriftTimer();
    // The output's delay from hand-off to sound when it is plausible (0 ≤ x < 2 s), else 0.
    [[nodiscard]] int64_t outputLatencyNs() const;
    // One step of the drift loop: measure the timing error and trim the rate or re-schedule.
    void measure();
    // The segment of schedule g has been heard to its end (or there was nothing to play).
    void segmentFinished(uint64_t g);
    // The volume stage is the group's volume × this device's, clamped to 0…1; each setter
    // applies it at once.
    void setGroupVolume(double volume);
    void setLocalVolume(double volume);
    // The user's delay, taken into the plan at the next schedule().
    void setDelayMs(double delayMs) { delayMs_ = delayMs; }
    [[nodiscard]] double delayMs() const { return delayMs_; }

    // Set by the owner.
    std::string label;
    std::function<void()> onEnded;
    std::optional<PlaySpec> spec;
    OffsetProvider offsetProvider = [] { return int64_t{0}; };

    // Observable state.
    [[nodiscard]] const std::optional<std::filesystem::path>& fileUrl() const { return fileUrl_; }
    [[nodiscard]] std::optional<double> lastErrorMs() const { return lastErrorMs_; }
    [[nodiscard]] const std::optional<StartPlan>& plan() const { return plan_; }
    [[nodiscard]] uint64_t generation() const { return generation_; }
    [[nodiscard]] const DriftController& drift() const { return drift_; }
    [[nodiscard]] const std::optional<AudioFormat>& connectedFormat() const {
        return connectedFormat_;
    }
    [[nodiscard]] float varispeedRate() const { return varispeedRate_; }
    [[nodiscard]] float nodeVolume() const { return nodeVolume_; }
    [[nodiscard]] bool isEngineRunning() const;
    [[nodiscard]] bool hasDriftTimer() const { return driftTimer_.isActive(); }
    [[nodiscard]] bool hasPendingResync() const { return pendingResync_.isActive(); }
    // The position published by the render thread for its last buffer.
    [[nodiscard]] RenderPosition renderPosition() const;
    [[nodiscard]] int64_t underrunFrames() const;

private:
    struct OpenFile {
        std::shared_ptr<AudioFileReader> reader; // handed to the decoder
        double sampleRate = 0.0;
        int channels = 0;
        int64_t lengthFrames = 0;
    };

    void applyVolume();
    void init();
    void connect(const AudioFormat& format);
    void setRate(float rate);
    void configurationChanged(const AudioConfigurationChange& change);
    void debouncedResync(std::string reason);
    void segmentHeard(uint64_t g, int64_t heardNs);
    [[nodiscard]] OutputTiming timing() const;

    DeviceContext& context_;
    std::optional<std::filesystem::path> fileUrl_;
    std::optional<double> lastErrorMs_;
    std::unique_ptr<AudioOutput> engine_; // absent when the device has no sound output
    std::unique_ptr<PlayerPipeline> pipeline_;
    std::unique_ptr<AudioFeeder> feeder_;
    std::optional<OpenFile> file_;
    std::optional<AudioFormat> connectedFormat_;
    std::optional<StartPlan> plan_;
    uint64_t generation_ = 0;
    DriftController drift_ = DriftController::forPlayer();
    ScopedTimer driftTimer_;
    ScopedTimer pendingResync_;
    ScopedTimer pendingEnd_;
    float varispeedRate_ = 1.0F;
    double delayMs_ = 0.0;
    double groupVolume_ = 1.0;
    double localVolume_ = 1.0;
    float nodeVolume_ = 1.0F;
};

} // namespace merriphonic
