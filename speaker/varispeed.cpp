#include "speaker/varispeed.h"

#include <samplerate.h>

#include <algorithm>
#include <cstddef>

namespace merriphonic {

namespace {

// Flat to about 90 % of the Nyquist frequency at a modest cost (over a hundred times real
// time for stereo on a small machine).
constexpr int converterType = SRC_SINC_MEDIUM_QUALITY;

} // namespace

Varispeed::Varispeed(int channels)
    : channels_(std::max(channels, 1)),
      staging_(static_cast<size_t>(stagingFrames) * static_cast<size_t>(std::max(channels, 1))) {
    int error = 0;
    state_ = src_new(converterType, channels_, &error);
}

Varispeed::~Varispeed() {
    if (state_ != nullptr) {
        src_delete(state_);
    }
}

void Varispeed::reset() noexcept {
    if (state_ != nullptr) {
        failed_ = src_reset(state_) != 0;
    }
    ratio_ = 0.0;
    position_ = 0.0;
    stagedOffset_ = 0;
    stagedFrames_ = 0;
}

void Varispeed::process(float* interleaved, int frames, double rate,
                        VarispeedSource& source) noexcept {
    const size_t samples = static_cast<size_t>(frames) * static_cast<size_t>(channels_);
    if (!isUsable() || frames <= 0 || !(rate > 1.0 / 256 && rate < 256.0)) {
        std::fill_n(interleaved, samples, 0.0F);
        return;
    }
    const double ratio = 1.0 / rate;
    if (ratio != ratio_) {
        // A step, not the converter's ramp across the block: the position stays exact.
        if (src_set_ratio(state_, ratio) != 0) {
            failed_ = true;
            std::fill_n(interleaved, samples, 0.0F);
            return;
        }
        ratio_ = ratio;
    }
    int produced = 0;
    while (produced < frames) {
        if (stagedFrames_ == 0) {
            source.pull(staging_.data(), stagingFrames);
            stagedOffset_ = 0;
            stagedFrames_ = stagingFrames;
        }
        SRC_DATA data{};
        data.data_in = staging_.data() + static_cast<ptrdiff_t>(stagedOffset_) * channels_;
        data.input_frames = stagedFrames_;
        data.data_out = interleaved + static_cast<ptrdiff_t>(produced) * channels_;
        data.output_frames = frames - produced;
        data.src_ratio = ratio;
        if (src_process(state_, &data) != 0 ||
            (data.input_frames_used == 0 && data.output_frames_gen == 0)) {
            failed_ = true;
            std::fill_n(interleaved + static_cast<ptrdiff_t>(produced) * channels_,
                        static_cast<size_t>(frames - produced) * static_cast<size_t>(channels_),
                        0.0F);
            return;
        }
        stagedOffset_ += static_cast<int>(data.input_frames_used);
        stagedFrames_ -= static_cast<int>(data.input_frames_used);
        produced += static_cast<int>(data.output_frames_gen);
    }
    // The converter steps its input index by 1 / ratio per output frame; so does this.
    position_ += static_cast<double>(frames) * (1.0 / ratio);
}

} // namespace merriphonic
