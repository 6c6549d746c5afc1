#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "core/result.h"
#include "platform/audio_feeder.h"

namespace merriphonic {

class AudioPositionProbe;
class RunLoop;

// What the output is fed: 32-bit float samples, interleaved, at this rate and channel count.
struct AudioFormat {
    int sampleRate = 0;
    int channels = 0;

    bool operator==(const AudioFormat&) const = default;
};

// Whether an output takes the format (8 to 768 kHz, 1 to 32 channels); else the error it gives.
[[nodiscard]] Result<Done, std::string> checkAudioFormat(const AudioFormat& format);

// The timing of one buffer, in nanoseconds of the device's monotonic clock (CLOCK_MONOTONIC
// for the real outputs, the device's virtual clock in simulation).
//
// Frame i of the buffer (0-based) is heard at
//
//     handOffNs + i × 1e9 / sampleRate + outputLatencyNs
//
// handOffNs is the instant at which the buffer's first frame enters the output path: after
// everything queued ahead of it inside the output (earlier buffers, a converter's backlog)
// has gone in, counted at the nominal sample rate. It changes from buffer to buffer and may
// lie before or after the moment the render callback runs. outputLatencyNs is the delay from
// that entry to sound: the device and everything after the hand-off point. It changes only
// when the output's configuration changes, and equals outputLatencyNs() while it holds.
// Only the sum is physical; every implementation splits it this way so that a player can
// plan with outputLatencyNs() and place frames with handOffNs.
struct RenderInfo {
    int64_t handOffNs = 0;
    int64_t outputLatencyNs = 0;

    bool operator==(const RenderInfo&) const = default;
};

// Produces the audio, on the output's real-time thread. render() must fill all
// frames × channels samples and must not allocate, lock, log or touch files.
class AudioRenderer {
public:
    virtual void render(float* interleaved, int frames, const RenderInfo& info) noexcept = 0;
    // A renderer that can say what it placed in its last buffer answers here; an output that
    // wants to know (to measure what is heard) asks once, when it starts.
    [[nodiscard]] virtual const AudioPositionProbe* positionProbe() const noexcept {
        return nullptr;
    }

protected:
    AudioRenderer() = default;
    ~AudioRenderer() = default;
    AudioRenderer(const AudioRenderer&) = default;
    AudioRenderer& operator=(const AudioRenderer&) = default;
};

// Why the output's configuration changed. A player treats every kind the same way (restart
// if needed and re-plan); the kind is for the log.
enum class AudioChangeKind {
    format,   // the negotiated format or the device's rate changed
    device,   // the output was routed to another device, lost its device or got one back
    latency,  // outputLatencyNs() changed
    error,    // the output failed; it is no longer running
    recovered // the output plays again after an interruption it survived
};

struct AudioConfigurationChange {
    AudioChangeKind kind = AudioChangeKind::format;
    std::string detail;

    bool operator==(const AudioConfigurationChange&) const = default;
};

std::string_view audioChangeKindName(AudioChangeKind kind);

// A sound output that pulls audio from a renderer on its own real-time thread.
//
// Every member function is called on the main loop given at construction, except
// outputLatencyNs(), which any thread may call. Configuration changes are delivered on that
// main loop, never from inside a member function, and never after the output is destroyed.
class AudioOutput {
public:
    using ChangeHandler = std::function<void(const AudioConfigurationChange&)>;

    virtual ~AudioOutput() = default;
    AudioOutput() = default;
    AudioOutput(const AudioOutput&) = delete;
    AudioOutput& operator=(const AudioOutput&) = delete;

    // Opens the output for the format and starts calling renderer.render(), or says why it
    // cannot. Starting a running output restarts it. The renderer must stay valid until stop()
    // returns or the output is destroyed.
    virtual Result<Done, std::string> start(const AudioFormat& format, AudioRenderer& renderer) = 0;
    // Stops pulling audio. When it returns, render() is not running and will not be called
    // again. Stopping a stopped output does nothing.
    virtual void stop() = 0;
    // True from a successful start() until stop() or an error.
    [[nodiscard]] virtual bool isRunning() const = 0;
    // The format given to the last successful start().
    [[nodiscard]] virtual AudioFormat format() const = 0;
    // The current delay from hand-off to sound (see RenderInfo); 0 while unknown.
    [[nodiscard]] virtual int64_t outputLatencyNs() const = 0;
    // Replaces the handler of configuration changes.
    virtual void setConfigurationChangeHandler(ChangeHandler handler) = 0;
    // An output that runs a renderer's feeds itself, in step with its render calls, offers a
    // feeder; nothing means the player feeds from a thread of its own. The virtual sound card
    // offers one, which keeps a simulated run on one thread and deterministic.
    [[nodiscard]] virtual std::unique_ptr<AudioFeeder> makeFeeder() { return nullptr; }
};

// Makes the outputs of one device; DeviceContext carries one.
class AudioOutputFactory {
public:
    virtual ~AudioOutputFactory() = default;
    // The output reports its configuration changes on main.
    virtual std::unique_ptr<AudioOutput> makeOutput(RunLoop& main) = 0;
};

} // namespace merriphonic
