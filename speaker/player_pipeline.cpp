#include "speaker/player_pipeline.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <utility>

#include "core/time_units.h"
#include "platform/media.h"

namespace merriphonic {

namespace {

void silence(float* interleaved, int frames, int channels) {
    std::fill_n(interleaved, static_cast<size_t>(frames) * static_cast<size_t>(channels), 0.0F);
}

} // namespace

PlayerPipeline::PlayerPipeline(AudioFormat format, EndHandler onEnd, ErrorHandler onError)
    : format_(format), onEnd_(std::move(onEnd)), onError_(std::move(onError)),
      ring_(ringBlocks, ringBlockFrames, format.channels), varispeed_(format.channels) {}

PlayerPipeline::~PlayerPipeline() = default;

void PlayerPipeline::setReader(std::shared_ptr<AudioFileReader> reader) {
    const std::lock_guard<std::mutex> lock(mailboxMutex_);
    mailboxReader_ = std::move(reader);
}

void PlayerPipeline::play(const PlayerSegment& segment) {
    {
        const std::lock_guard<std::mutex> lock(mailboxMutex_);
        mailboxJob_ = segment;
    }
    activeGeneration_.store(segment.generation, std::memory_order_release);
    segment_.store(segment);
}

void PlayerPipeline::setRate(float rate) {
    rate_.store(rate, std::memory_order_relaxed);
}

void PlayerPipeline::setVolume(float volume) {
    volume_.store(volume, std::memory_order_relaxed);
}

// ---- decoder thread ----

void PlayerPipeline::feed() {
    while (const auto end = ends_.pop()) {
        if (onEnd_) {
            onEnd_(end->generation, end->heardNs);
        }
    }
    {
        const std::lock_guard<std::mutex> lock(mailboxMutex_);
        if (mailboxReader_ != reader_) {
            reader_ = mailboxReader_;
            job_ = PlayerSegment{};
            jobDone_ = true;
        }
        if (mailboxJob_.generation != job_.generation) {
            job_ = mailboxJob_;
            decoded_ = 0;
            needsSeek_ = true;
            jobDone_ = !job_.playing || job_.frameCount <= 0;
        }
    }
    if (jobDone_ || !reader_) {
        return;
    }
    if (needsSeek_) {
        needsSeek_ = false;
        if (const MediaStatus sought = reader_->seek(job_.startFrame); !sought) {
            jobDone_ = true;
            if (onError_) {
                onError_(sought.error().description);
            }
            return;
        }
    }
    while (decoded_ < job_.frameCount &&
           activeGeneration_.load(std::memory_order_acquire) == job_.generation) {
        FrameBlockRing::Block* block = ring_.writable();
        if (block == nullptr) {
            return;
        }
        const int64_t want = std::min<int64_t>(ring_.blockFrames(), job_.frameCount - decoded_);
        const int64_t got = reader_->read(block->samples, want);
        if (got <= 0) {
            // The file ended early or failed: the rest of the segment plays as silence and
            // still ends on time.
            jobDone_ = true;
            if (got < 0 && onError_) {
                onError_(reader_->lastError());
            }
            return;
        }
        block->generation = job_.generation;
        block->firstFrame = decoded_;
        block->frames = static_cast<int>(got);
        ring_.commit();
        decoded_ += got;
    }
    if (decoded_ >= job_.frameCount) {
        jobDone_ = true;
    }
}

// ---- render thread ----

void PlayerPipeline::render(float* interleaved, int frames, const RenderInfo& info) noexcept {
    if (frames <= 0) {
        return;
    }
    // A write caught half-way is picked up with the next buffer: the main thread may be
    // preempted in the middle of one, and this thread must not wait for it.
    PlayerSegment segment;
    if (segment_.tryLoad(segment) && segment.generation != current_.generation) {
        switchTo(segment);
    }
    dropStaleBlocks();

    bool produced = false;
    bool valid = false;
    double before = 0.0;
    if (phase_ == Phase::waiting) {
        // Where the start falls, in output frames from this buffer's first frame.
        const double startOffset = static_cast<double>(current_.localStartNs - info.handOffNs) *
                                   format_.sampleRate / nsPerSecond;
        if (startOffset < frames + phaseFrames) {
            begin(startOffset, info);
        }
    }
    if (phase_ == Phase::playing) {
        before = mediaPosition();
        produce(interleaved, frames, info);
        const double after = mediaPosition();
        produced = true;
        valid = after > 0.0 && before < static_cast<double>(current_.frameCount);
    }
    if (produced) {
        applyVolume(interleaved, frames);
    } else {
        silence(interleaved, frames, format_.channels);
    }
    position_.store(RenderPosition{current_.generation, valid, info.handOffNs, before});
    lastMediaFrame_ = valid
                          ? std::optional<double>(static_cast<double>(current_.startFrame) + before)
                          : std::nullopt;
}

void PlayerPipeline::switchTo(const PlayerSegment& segment) noexcept {
    current_ = segment;
    phase_ = segment.playing && segment.frameCount > 0 ? Phase::waiting : Phase::idle;
}

void PlayerPipeline::dropStaleBlocks() noexcept {
    const FrameBlockRing::Block* block = nullptr;
    while ((block = ring_.readable()) != nullptr && block->generation < current_.generation) {
        ring_.pop();
    }
}

bool PlayerPipeline::begin(double startOffset, const RenderInfo& info) noexcept {
    varispeed_.reset();
    phaseRemaining_ = 0;
    phaseRate_ = 1.0;
    if (startOffset >= phaseFrames) {
        // Enough silence ahead of the start to move the converter's phase so that the start
        // frame lands at its exact fraction of an output frame: the first phaseFrames output
        // frames step through the input slightly faster.
        const double zeros = std::ceil(startOffset);
        const double fraction = zeros - startOffset;
        leadingSilence_ = static_cast<int64_t>(zeros);
        nextFrame_ = 0;
        mediaOffset_ = -zeros;
        if (fraction > 0.0) {
            phaseRemaining_ = phaseFrames;
            phaseRate_ = (phaseFrames + fraction) / phaseFrames;
        }
    } else if (startOffset >= 0.0) {
        const auto zeros = static_cast<int64_t>(std::llround(startOffset));
        leadingSilence_ = zeros;
        nextFrame_ = 0;
        mediaOffset_ = -static_cast<double>(zeros);
    } else {
        // The start has passed (the output began late): join on the timeline.
        const double missed = -startOffset;
        const int64_t skip = missed >= static_cast<double>(current_.frameCount)
                                 ? current_.frameCount
                                 : static_cast<int64_t>(std::llround(missed));
        leadingSilence_ = 0;
        nextFrame_ = skip;
        mediaOffset_ = static_cast<double>(skip);
        if (skip >= current_.frameCount) {
            endAt(0.0, info);
            return false;
        }
    }
    phase_ = Phase::playing;
    return true;
}

void PlayerPipeline::produce(float* interleaved, int frames, const RenderInfo& info) noexcept {
    const double before = mediaPosition();
    int done = 0;
    if (phaseRemaining_ > 0) {
        done = std::min(phaseRemaining_, frames);
        varispeed_.process(interleaved, done, phaseRate_, source_);
        phaseRemaining_ -= done;
    }
    if (done < frames) {
        const double rate = rate_.load(std::memory_order_relaxed);
        varispeed_.process(interleaved + static_cast<ptrdiff_t>(done) * format_.channels,
                           frames - done, rate, source_);
    }
    const double after = mediaPosition();
    const auto last = static_cast<double>(current_.frameCount - 1);
    if (after > last) {
        // The last frame is put out within this buffer (or between its last frame and the
        // next buffer's first): at this fraction of an output frame.
        const double perFrame = (after - before) / frames;
        endAt(std::max(0.0, (last - before) / perFrame), info);
    }
}

void PlayerPipeline::endAt(double outputFrame, const RenderInfo& info) noexcept {
    const auto offsetNs =
        static_cast<int64_t>(std::llround(outputFrame * nsPerSecond / format_.sampleRate));
    // A full queue means the decoder has stalled for long; the end is then lost like any
    // notice of a stalled engine.
    (void)ends_.push(
        SegmentEnd{current_.generation, info.handOffNs + offsetNs + info.outputLatencyNs});
    phase_ = Phase::finished;
}

void PlayerPipeline::pullMedia(float* interleaved, int frames) noexcept {
    const int channels = format_.channels;
    int filled = 0;
    auto zeros = [&](int64_t count) {
        const int n = static_cast<int>(std::min<int64_t>(count, frames - filled));
        silence(interleaved + static_cast<ptrdiff_t>(filled) * channels, n, channels);
        filled += n;
        return n;
    };
    while (filled < frames) {
        if (leadingSilence_ > 0) {
            leadingSilence_ -= zeros(leadingSilence_);
            continue;
        }
        if (phase_ != Phase::playing || nextFrame_ >= current_.frameCount) {
            zeros(frames - filled);
            break;
        }
        const FrameBlockRing::Block* block = ring_.readable();
        if (block == nullptr || block->generation > current_.generation) {
            // Decoding fell behind: keep time with silence and skip what is missing.
            const int n = zeros(current_.frameCount - nextFrame_);
            nextFrame_ += n;
            underrunFrames_.fetch_add(n, std::memory_order_relaxed);
            continue;
        }
        if (block->generation < current_.generation ||
            block->firstFrame + block->frames <= nextFrame_) {
            ring_.pop();
            continue;
        }
        if (block->firstFrame > nextFrame_) {
            const int n = zeros(block->firstFrame - nextFrame_);
            nextFrame_ += n;
            underrunFrames_.fetch_add(n, std::memory_order_relaxed);
            continue;
        }
        const int64_t offset = nextFrame_ - block->firstFrame;
        const int n = static_cast<int>(std::min<int64_t>(
            {frames - filled, block->frames - offset, current_.frameCount - nextFrame_}));
        std::copy_n(block->samples + offset * channels, static_cast<size_t>(n) * channels,
                    interleaved + static_cast<ptrdiff_t>(filled) * channels);
        filled += n;
        nextFrame_ += n;
        if (offset + n == block->frames) {
            ring_.pop();
        }
    }
}

void PlayerPipeline::applyVolume(float* interleaved, int frames) noexcept {
    const float target = std::clamp(volume_.load(std::memory_order_relaxed), 0.0F, 1.0F);
    const float start = appliedVolume_;
    appliedVolume_ = target;
    if (start == 1.0F && target == 1.0F) {
        return;
    }
    const int channels = format_.channels;
    // A ramp across the buffer, so a change does not click.
    const float step = (target - start) / static_cast<float>(frames);
    for (int i = 0; i < frames; ++i) {
        const float gain = start + step * static_cast<float>(i + 1);
        float* frame = interleaved + static_cast<ptrdiff_t>(i) * channels;
        for (int c = 0; c < channels; ++c) {
            frame[c] *= gain;
        }
    }
}

} // namespace merriphonic
