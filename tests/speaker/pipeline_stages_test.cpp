// The stages under the player: the variable-rate stage's position, and the seqlock that
// publishes between threads.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "speaker/seqlock.h"
#include "speaker/varispeed.h"

namespace merriphonic {
namespace {

// Fractional frames of a mono signal at which peaks rise above the threshold: the vertex of the
// parabola through each local maximum and its neighbours.
std::vector<double> peakFrames(const std::vector<float>& samples, float threshold) {
    std::vector<double> peaks;
    const auto at = [&](size_t i) { return double(samples[i]); };
    for (size_t i = 1; i + 1 < samples.size(); ++i) {
        if (at(i) > threshold && at(i) >= at(i - 1) && at(i) > at(i + 1)) {
            const double d = at(i - 1) - 2.0 * at(i) + at(i + 1);
            peaks.push_back(double(i) + (d != 0.0 ? 0.5 * (at(i - 1) - at(i + 1)) / d : 0.0));
        }
    }
    return peaks;
}

// Mono input with an impulse at frame 3000 and every 6000 frames after.
class Impulses final : public VarispeedSource {
public:
    void pull(float* interleaved, int frames) noexcept override {
        for (int i = 0; i < frames; ++i, ++next_) {
            interleaved[i] = next_ % 6000 == 3000 ? 1.0F : 0.0F;
        }
    }

private:
    int64_t next_ = 0;
};

TEST(Varispeed, ThePositionIsTheInputFrameBeingPutOutAtAnyRate) {
    for (const std::vector<double>& rates :
         {std::vector<double>{0.997}, {1.0, 0.9985, 1.003, 1.0007}}) {
        Varispeed varispeed(1);
        ASSERT_TRUE(varispeed.isUsable());
        Impulses source;
        std::vector<float> out(26000);
        // Where each buffer starts, in input frames: the position's own account.
        std::vector<double> positions;
        constexpr int period = 250;
        for (size_t at = 0, buffer = 0; at < out.size(); at += period, ++buffer) {
            positions.push_back(varispeed.position());
            const double rate = rates[(buffer * rates.size()) / (out.size() / period + 1)];
            varispeed.process(out.data() + at, period, rate, source);
        }
        positions.push_back(varispeed.position());
        // Map each heard peak back to input frames through the positions: it must be the
        // impulse's own frame.
        const std::vector<double> heard = peakFrames(out, 0.5F);
        ASSERT_EQ(heard.size(), 4U);
        for (size_t i = 0; i < heard.size(); ++i) {
            const auto buffer = static_cast<size_t>(heard[i] / period);
            const double perFrame = (positions[buffer + 1] - positions[buffer]) / period;
            const double input =
                positions[buffer] + (heard[i] - double(buffer * period)) * perFrame;
            EXPECT_NEAR(input, 3000.0 + 6000.0 * double(i), 0.1) << "rate " << rates.front();
        }
    }
}

TEST(LockFree, SeqlockReadersNeverSeeATornValue) {
    struct Pair {
        uint64_t a = 0;
        uint64_t b = ~uint64_t{0}; // always ~a
    };
    Seqlock<Pair> lock;
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (uint64_t i = 1; i <= 50'000; ++i) {
            lock.store(Pair{i, ~i});
        }
        done = true;
    });
    uint64_t last = 0;
    int64_t torn = 0;
    int64_t backwards = 0;
    while (!done) {
        const Pair p = lock.load();
        torn += p.b != ~p.a ? 1 : 0;
        backwards += p.a < last ? 1 : 0;
        last = p.a;
    }
    writer.join();
    EXPECT_EQ(torn, 0);
    EXPECT_EQ(backwards, 0);
    EXPECT_EQ(lock.load().a, 50'000U);
}

} // namespace
} // namespace merriphonic
