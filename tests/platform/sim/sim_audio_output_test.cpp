// The virtual sound card: its timeline, what it reports and what it records.

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "platform/audio_position_probe.h"
#include "platform/sim/sim_audio_output.h"
#include "platform/sim/sim_clock.h"
#include "platform/sim/sim_run_loop.h"
#include "platform/sim/sim_world.h"

namespace merriphonic {
namespace {

constexpr int rate = 48000;
constexpr int period = 128;

// Writes a ramp (frame counter) and remembers every call; claims media frame 1000 + calls.
class Recorder final : public AudioRenderer, public AudioPositionProbe, public AudioFeed {
public:
    explicit Recorder(const SimWorld& world) : world_(world) {}
    void render(float* interleaved, int frames, const RenderInfo& info) noexcept override {
        calls.push_back({info, world_.nowNs(), feeds});
        for (int i = 0; i < frames; ++i) {
            interleaved[2 * i] = float(next);
            interleaved[2 * i + 1] = -float(next);
            ++next;
        }
    }
    [[nodiscard]] const AudioPositionProbe* positionProbe() const noexcept override { return this; }
    [[nodiscard]] std::optional<double> mediaFrameAtLastBuffer() const noexcept override {
        return 1000.0 + double(calls.size());
    }
    void feed() override { ++feeds; }

    struct Call {
        RenderInfo info;
        int64_t worldNs;
        int feedsBefore;
    };
    std::vector<Call> calls;
    int feeds = 0;
    int64_t next = 0;

private:
    const SimWorld& world_;
};

// It renders ahead of a hand-off timeline set by its crystal, and keeps what was heard. (Injected
// latency changes, interruptions and failures are played through by the speaker's tests.)
TEST(SimAudioOutput, RendersAheadOfAHandOffTimelineSetByItsCrystalAndCapturesIt) {
    SimWorld world{3};
    SimClock clock{world, 1'000'000'000, 50.0};
    SimRunLoop main{world, "dev.main", &clock};
    SimAudioOutputFactory factory(world, clock,
                                  {.crystalPpm = 100,
                                   .outputLatencyNs = 5'000'000,
                                   .latencyReportErrorNs = 1'000'000,
                                   .periodFrames = period,
                                   .captureAudio = true});
    Recorder recorder{world};
    auto output = factory.makeOutput(main);
    const auto started = output->start(AudioFormat{rate, 2}, recorder);
    ASSERT_TRUE(started) << started.error();
    auto feeder = factory.output()->makeFeeder();
    feeder->start(recorder);
    world.runFor(2'000'000'000);

    const auto& calls = recorder.calls;
    const auto& heard = factory.output()->heardBuffers();
    ASSERT_GT(calls.size(), 700U);
    ASSERT_EQ(heard.size(), calls.size());
    const double worldPerFrame = 1e9 / (rate * (1 + 100e-6));
    for (size_t i = 0; i < calls.size(); ++i) {
        // Told the device-clock hand-off and the reported latency, one period ahead.
        EXPECT_EQ(calls[i].info.outputLatencyNs, 6'000'000);
        EXPECT_EQ(calls[i].info.handOffNs, heard[i].handOffNs);
        const int64_t handOffWorld = heard[i].heardWorldNs - 5'000'000;
        EXPECT_EQ(clock.deviceTimeAt(handOffWorld), heard[i].handOffNs);
        EXPECT_NEAR(double(handOffWorld - calls[i].worldNs), 1e9 * period / rate, 1.0);
        EXPECT_EQ(calls[i].feedsBefore, int(i) + 1);
        EXPECT_EQ(heard[i].mediaFrame, 1001.0 + double(i));
    }
    const size_t n = calls.size() - 1;
    EXPECT_NEAR(double(heard[n].heardWorldNs - heard[0].heardWorldNs),
                double(n * period) * worldPerFrame, 1.0);

    const SimAudioOutput& sim = *factory.output();
    const std::vector<float> captured = sim.capturedAudio();
    ASSERT_EQ(captured.size(), heard.size() * period * 2);
    EXPECT_EQ(captured[2 * 300], 300.0F);
    EXPECT_EQ(captured[2 * 300 + 1], -300.0F);
    EXPECT_NEAR(*sim.heardWorldNsOfFrame(300.5),
                double(heard[2].heardWorldNs) + 44.5 * worldPerFrame, 1.0);
}

} // namespace
} // namespace merriphonic
