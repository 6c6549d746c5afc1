// The virtual sound card: its timeline, what it reports and what it records.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
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

struct Card {
    SimWorld world{3};
    SimClock clock{world, 1'000'000'000, 50.0};
    SimRunLoop main{world, "dev.main", &clock};
    SimAudioOutputFactory factory;
    Recorder recorder{world};
    std::vector<AudioConfigurationChange> changes;

    explicit Card(SimAudioCardConfig config) : factory(world, clock, std::move(config)) {}
    std::unique_ptr<AudioOutput> open() {
        auto output = factory.makeOutput(main);
        output->setConfigurationChangeHandler(
            [this](const AudioConfigurationChange& change) { changes.push_back(change); });
        std::string error;
        EXPECT_TRUE(output->start(AudioFormat{rate, 2}, recorder, error)) << error;
        return output;
    }
};

// It renders ahead of a hand-off timeline set by its crystal, and keeps what was heard, also as
// a WAV file.
TEST(SimAudioOutput, RendersAheadOfAHandOffTimelineSetByItsCrystalAndCapturesIt) {
    const std::filesystem::path wav =
        std::filesystem::temp_directory_path() / ("sim-card-" + std::to_string(getpid()) + ".wav");
    Card card({.crystalPpm = 100,
               .outputLatencyNs = 5'000'000,
               .latencyReportErrorNs = 1'000'000,
               .periodFrames = period,
               .captureAudio = true,
               .wavPath = wav});
    auto output = card.open();
    auto feeder = card.factory.output()->makeFeeder();
    feeder->start(card.recorder);
    card.world.runFor(2'000'000'000);

    const auto& calls = card.recorder.calls;
    const auto& heard = card.factory.output()->heardBuffers();
    ASSERT_GT(calls.size(), 700U);
    ASSERT_EQ(heard.size(), calls.size());
    const double worldPerFrame = 1e9 / (rate * (1 + 100e-6));
    for (size_t i = 0; i < calls.size(); ++i) {
        // Told the device-clock hand-off and the reported latency, one period ahead.
        EXPECT_EQ(calls[i].info.outputLatencyNs, 6'000'000);
        EXPECT_EQ(calls[i].info.handOffNs, heard[i].handOffNs);
        const int64_t handOffWorld = heard[i].heardWorldNs - 5'000'000;
        EXPECT_EQ(card.clock.deviceTimeAt(handOffWorld), heard[i].handOffNs);
        EXPECT_NEAR(double(handOffWorld - calls[i].worldNs), 1e9 * period / rate, 1.0);
        EXPECT_EQ(calls[i].feedsBefore, int(i) + 1);
        EXPECT_EQ(heard[i].mediaFrame, 1001.0 + double(i));
    }
    const size_t n = calls.size() - 1;
    EXPECT_NEAR(double(heard[n].heardWorldNs - heard[0].heardWorldNs),
                double(n * period) * worldPerFrame, 1.0);
    EXPECT_EQ(card.factory.output()->outputLatencyNs(), 6'000'000);

    const SimAudioOutput& sim = *card.factory.output();
    const std::vector<float> captured = sim.capturedAudio();
    ASSERT_EQ(captured.size(), heard.size() * period * 2);
    EXPECT_EQ(captured[2 * 300], 300.0F);
    EXPECT_EQ(captured[2 * 300 + 1], -300.0F);
    EXPECT_NEAR(*sim.heardWorldNsOfFrame(300.5),
                double(heard[2].heardWorldNs) + 44.5 * worldPerFrame, 1.0);
    output->stop();
    std::ifstream in(wav, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
    std::filesystem::remove(wav);
    const size_t header = 12 + 26 + 12 + 8;
    ASSERT_EQ(bytes.size(), header + captured.size() * 4);
    EXPECT_EQ(std::string(bytes.data(), 4), "RIFF");
    EXPECT_EQ(std::string(bytes.data() + 8, 4), "WAVE");
    EXPECT_EQ(std::memcmp(bytes.data() + header, captured.data(), captured.size() * 4), 0);
}

TEST(SimAudioOutput, InjectedChangesAreReportedOnTheMainLoopAndNeverAfterDestruction) {
    Card card({.periodFrames = period});
    auto output = card.open();
    SimAudioOutput& sim = *card.factory.output();
    card.world.runFor(100'000'000);

    sim.changeLatency(30'000'000, -2'000'000);
    EXPECT_TRUE(card.changes.empty()); // not from inside the call
    card.world.runFor(1'000'000);
    ASSERT_EQ(card.changes.size(), 1U);
    EXPECT_EQ(card.changes[0].kind, AudioChangeKind::latency);
    EXPECT_EQ(output->outputLatencyNs(), 28'000'000);

    const size_t before = card.recorder.calls.size();
    sim.interrupt(50'000'000);
    card.world.runFor(49'000'000);
    EXPECT_EQ(card.recorder.calls.size(), before);
    EXPECT_FALSE(sim.heardBuffers().back().rendered);
    card.world.runFor(20'000'000);
    EXPECT_GT(card.recorder.calls.size(), before);
    ASSERT_EQ(card.changes.size(), 2U);
    EXPECT_EQ(card.changes[1].kind, AudioChangeKind::recovered);

    sim.fail("unplugged");
    EXPECT_FALSE(output->isRunning());
    const size_t atFailure = card.recorder.calls.size();
    card.world.runFor(100'000'000);
    EXPECT_EQ(card.recorder.calls.size(), atFailure);
    ASSERT_EQ(card.changes.size(), 3U);
    EXPECT_EQ(card.changes[2], (AudioConfigurationChange{AudioChangeKind::error, "unplugged"}));

    sim.reportChange(AudioChangeKind::device, "moved");
    output.reset();
    card.world.runFor(100'000'000);
    EXPECT_EQ(card.changes.size(), 3U);
    EXPECT_EQ(card.factory.output(), nullptr);
}

} // namespace
} // namespace merriphonic
