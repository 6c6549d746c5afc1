#include "tests/platform/pipewire/click_renderer.h"

#include <cmath>

#include "tests/platform/pipewire/allocation_counter.h"

namespace merriphonic::test {

void ClickRenderer::render(float* interleaved, int frames, const RenderInfo& info) noexcept {
    rendering_.store(true, std::memory_order_release);
    if (countAllocations_.load(std::memory_order_relaxed)) {
        countAllocationsOnThisThread();
    }
    const int channels = format_.channels;
    const double frameNs = 1e9 / format_.sampleRate;
    std::fill(interleaved, interleaved + static_cast<ptrdiff_t>(frames) * channels, 0.0F);

    const auto heard0 = static_cast<double>(info.handOffNs + info.outputLatencyNs);
    if (buffers_.load(std::memory_order_relaxed) > 0) {
        boundaries_.fetch_add(1, std::memory_order_relaxed);
        if (std::fabs(heard0 - expectedHeardNs_) <= frameNs) {
            continuous_.fetch_add(1, std::memory_order_relaxed);
        }
    }
    expectedHeardNs_ = heard0 + frames * frameNs;

    const int64_t atNs = pendingNs_.load(std::memory_order_acquire);
    if (atNs != 0) {
        const auto index = std::llround((static_cast<double>(atNs) - heard0) / frameNs);
        if (index < 0) {
            pendingNs_.store(0, std::memory_order_release); // passed in a timeline break
        } else if (index < frames) {
            for (int c = 0; c < channels; ++c) {
                interleaved[index * channels + c] = 1.0F;
            }
            pendingNs_.store(0, std::memory_order_release);
        }
    }
    buffers_.fetch_add(1, std::memory_order_release);
    rendering_.store(false, std::memory_order_release);
}

} // namespace merriphonic::test
