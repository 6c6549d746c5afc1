// The stages under the player: the variable-rate stage's position, and the seqlock that
// publishes between threads. (The player's tests on real threads cover the ring and queue.)

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <thread>
#include <vector>

#include "speaker/seqlock.h"
#include "speaker/varispeed.h"

namespace merriphonic {
namespace {

// Mono input of impulses at given frames.
class Impulses final : public VarispeedSource {
public:
    explicit Impulses(std::vector<int64_t> at) : at_(std::move(at)) {}
    void pull(float* interleaved, int frames) noexcept override {
        for (int i = 0; i < frames; ++i, ++next_) {
            interleaved[i] = std::find(at_.begin(), at_.end(), next_) != at_.end() ? 1.0F : 0.0F;
        }
    }

private:
    std::vector<int64_t> at_;
    int64_t next_ = 0;
};

// The output frame (fractional) at which each impulse peaks.
std::vector<double> peaks(const std::vector<float>& out) {
    std::vector<double> result;
    for (size_t i = 1; i + 1 < out.size(); ++i) {
        if (out[i] > 0.5F && out[i] >= out[i - 1] && out[i] > out[i + 1]) {
            const double d = out[i - 1] - 2.0 * out[i] + out[i + 1];
            result.push_back(double(i) + 0.5 * (out[i - 1] - out[i + 1]) / d);
        }
    }
    return result;
}

TEST(Varispeed, ThePositionIsTheInputFrameBeingPutOutAtAnyRate) {
    const std::vector<int64_t> impulses{3000, 9000, 15000, 21000};
    for (const std::vector<double>& rates :
         {std::vector<double>{1.0}, {0.997}, {1.003}, {1.0, 0.9985, 1.003, 1.0007}}) {
        Varispeed varispeed(1);
        ASSERT_TRUE(varispeed.isUsable());
        Impulses source(impulses);
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
        const std::vector<double> heard = peaks(out);
        ASSERT_EQ(heard.size(), impulses.size());
        for (size_t i = 0; i < heard.size(); ++i) {
            const auto buffer = static_cast<size_t>(heard[i] / period);
            const double perFrame = (positions[buffer + 1] - positions[buffer]) / period;
            const double input =
                positions[buffer] + (heard[i] - double(buffer * period)) * perFrame;
            EXPECT_NEAR(input, double(impulses[i]), 0.1) << "rate " << rates.front();
        }
    }
}

struct Stamp {
    uint64_t a = 0;
    uint64_t b = 0;
    double c = 0;
    uint64_t d = 0;
};

TEST(LockFree, SeqlockReadersNeverSeeATornValue) {
    Seqlock<Stamp> lock;
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (uint64_t i = 1; i <= 50'000; ++i) {
            lock.store(Stamp{i, i * 3, double(i) / 2, ~i});
        }
        done = true;
    });
    uint64_t last = 0;
    int64_t torn = 0;
    int64_t backwards = 0;
    while (!done) {
        const Stamp s = lock.load();
        torn += (s.b != s.a * 3 || s.c != double(s.a) / 2 || (s.a != 0 && s.d != ~s.a)) ? 1 : 0;
        backwards += s.a < last ? 1 : 0;
        last = s.a;
    }
    writer.join();
    EXPECT_EQ(torn, 0);
    EXPECT_EQ(backwards, 0);
    EXPECT_EQ(lock.load().a, 50'000U);
}

} // namespace
} // namespace merriphonic
