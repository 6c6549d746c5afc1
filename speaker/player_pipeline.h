#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/audio_feeder.h"
#include "platform/audio_output.h"
#include "platform/audio_position_probe.h"
#include "speaker/frame_block_ring.h"
#include "speaker/seqlock.h"
#include "speaker/spsc_queue.h"
#include "speaker/varispeed.h"

namespace merriphonic {

class AudioFileReader;

// What the player wants played, published by the main thread as one value.
struct PlayerSegment {
    uint64_t generation = 0; // every schedule and stop has a new one
    bool playing = false;    // false: play nothing
    int64_t startFrame = 0;  // first media frame of the segment
    int64_t frameCount = 0;
    int64_t localStartNs = 0; // local instant at which startFrame is to be handed off

    bool operator==(const PlayerSegment&) const = default;
};

// Where playback was at the first frame of the last rendered buffer: the equivalent of a
// player node's last render time and player time.
struct RenderPosition {
    uint64_t generation = 0;
    bool valid = false;    // that buffer held media of this generation
    int64_t handOffNs = 0; // of the buffer's first frame (local clock)
    // Media frames since the segment's start frame at that first frame; fractional while the
    // rate is trimmed, negative before the start.
    double framesSinceStart = 0.0;

    bool operator==(const RenderPosition&) const = default;
};

// The audio graph of the synchronised player: a player stage that streams one scheduled
// segment of a file with a sample-accurate start at a local instant, a variable-rate stage
// and a volume stage, rendering into an AudioOutput.
//
// Three threads meet here, and only through lock-free hand-overs:
// - the main thread publishes the segment, the rate and the volume (seqlock and atomics) and
//   hands the decoder its reader and work (a mutex shared with the decoder only);
// - the decoder (feed(), run by an AudioFeeder) decodes the segment ahead into a block ring
//   and passes the render thread's segment ends on;
// - the render thread (render()) reads the ring, publishes its position per buffer and queues
//   the end of a segment once its last frame is placed, with the time it will be heard.
// render() never allocates, locks, logs or touches a file.
class PlayerPipeline final : public AudioRenderer, public AudioFeed, public AudioPositionProbe {
public:
    // Called on the decoder's thread.
    using EndHandler = std::function<void(uint64_t generation, int64_t heardNs)>;
    using ErrorHandler = std::function<void(const std::string& description)>;

    static constexpr int ringBlocks = 48;
    static constexpr int ringBlockFrames = 1024;
    // Output frames spent, before a start, on moving the converter to the start's fraction of a
    // frame.
    static constexpr int phaseFrames = 32;

    PlayerPipeline(AudioFormat format, EndHandler onEnd, ErrorHandler onError);
    ~PlayerPipeline();
    PlayerPipeline(const PlayerPipeline&) = delete;
    PlayerPipeline& operator=(const PlayerPipeline&) = delete;

    [[nodiscard]] const AudioFormat& format() const { return format_; }

    // Main thread.
    void setReader(std::shared_ptr<AudioFileReader> reader);
    void play(const PlayerSegment& segment);
    void setRate(float rate);
    void setVolume(float volume);
    [[nodiscard]] RenderPosition position() const { return position_.load(); }
    // Media frames the render thread found missing (decoding fell behind) and played as
    // silence.
    [[nodiscard]] int64_t underrunFrames() const {
        return underrunFrames_.load(std::memory_order_relaxed);
    }

    void render(float* interleaved, int frames, const RenderInfo& info) noexcept override;
    void feed() override;
    [[nodiscard]] const AudioPositionProbe* positionProbe() const noexcept override { return this; }
    [[nodiscard]] std::optional<double> mediaFrameAtLastBuffer() const noexcept override {
        return lastMediaFrame_;
    }

private:
    enum class Phase { idle, waiting, playing, finished };

    // The player stage, as the variable-rate stage's input.
    class Source final : public VarispeedSource {
    public:
        explicit Source(PlayerPipeline& pipeline) : pipeline_(pipeline) {}
        void pull(float* interleaved, int frames) noexcept override {
            pipeline_.pullMedia(interleaved, frames);
        }

    private:
        PlayerPipeline& pipeline_;
    };

    // Render thread.
    void switchTo(const PlayerSegment& segment) noexcept;
    void dropStaleBlocks() noexcept;
    bool begin(double startOffsetFrames, const RenderInfo& info) noexcept;
    void produce(float* interleaved, int frames, const RenderInfo& info) noexcept;
    void pullMedia(float* interleaved, int frames) noexcept;
    void applyVolume(float* interleaved, int frames) noexcept;
    void endAt(double outputFrame, const RenderInfo& info) noexcept;
    [[nodiscard]] double mediaPosition() const noexcept {
        return varispeed_.position() + mediaOffset_;
    }

    const AudioFormat format_;
    const EndHandler onEnd_;
    const ErrorHandler onError_;

    // Main → render.
    Seqlock<PlayerSegment> segment_;
    std::atomic<float> rate_{1.0F};
    std::atomic<float> volume_{1.0F};
    // Render → main.
    Seqlock<RenderPosition> position_;
    std::atomic<int64_t> underrunFrames_{0};
    // Render → decoder.
    struct SegmentEnd {
        uint64_t generation = 0;
        int64_t heardNs = 0;
    };
    SpscQueue<SegmentEnd, 16> ends_;
    // Decoder → render.
    FrameBlockRing ring_;
    // Main → decoder: the newest generation, so stale decoding stops early.
    std::atomic<uint64_t> activeGeneration_{0};

    // Main ↔ decoder only.
    std::mutex mailboxMutex_;
    std::shared_ptr<AudioFileReader> mailboxReader_;
    PlayerSegment mailboxJob_;

    // Decoder only.
    std::shared_ptr<AudioFileReader> reader_;
    PlayerSegment job_;
    int64_t decoded_ = 0;
    bool needsSeek_ = false;
    bool jobDone_ = true;

    // Render thread only.
    Varispeed varispeed_;
    Source source_{*this};
    PlayerSegment current_;
    Phase phase_ = Phase::idle;
    double mediaOffset_ = 0.0;   // media position (from the start frame) minus input position
    int64_t leadingSilence_ = 0; // input frames of silence still to give before the first frame
    int64_t nextFrame_ = 0;      // next frame of the segment to give the converter
    int phaseRemaining_ = 0;     // output frames still to play at phaseRate_
    double phaseRate_ = 1.0;
    float appliedVolume_ = 1.0F;
    std::optional<double> lastMediaFrame_;
};

} // namespace merriphonic
