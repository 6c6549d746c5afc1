// The parts of merriphonic-cli that need no process: the command line, the heard log as the
// outputs write it.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include "platform/audio_position_probe.h"
#include "platform/sim/sim_audio_output.h"
#include "platform/sim/sim_device.h"
#include "platform/sim/sim_world.h"
#include "tools/cli/cli_options.h"
#include "tools/cli/heard_log.h"
#include "tools/cli/heard_log_outputs.h"

namespace merriphonic {
namespace {

CliOptions parsed(const std::vector<std::string>& arguments) {
    const CliParse parse = parseCli(arguments);
    EXPECT_TRUE(std::holds_alternative<CliOptions>(parse));
    return std::holds_alternative<CliOptions>(parse) ? std::get<CliOptions>(parse) : CliOptions{};
}

TEST(CliOptionsTest, everyOptionLandsWhereItBelongs) {
    CliOptions host;
    host.command = CliOptions::Command::host;
    host.partyName = "Den";
    host.imports = {"a.mp3", "b c.flac", "-"};
    host.play = true;
    host.waitForSpeakers = 2;
    host.heardLog = "h.log";
    host.timeoutS = CliOptions::defaultScanS;
    EXPECT_EQ(parsed({"host", "--import", "a.mp3", "b c.flac", "-", "--name", "Den", "--play",
                      "--wait-for", "2", "--heard-log", "h.log"}),
              host);

    const CliOptions join = parsed({"join", "-v", "--party", "Den", "--timeout", "2.5"});
    EXPECT_EQ(join.party, "Den");
    EXPECT_EQ(join.timeoutS, 2.5);
    EXPECT_TRUE(join.verbose);
    EXPECT_EQ(parsed({"join"}).timeoutS, CliOptions::defaultJoinTimeoutS);

    // --help wins wherever it stands, even after a mistake.
    EXPECT_TRUE(std::holds_alternative<CliHelp>(parseCli({"join", "--bogus", "-h"})));
    const auto refusal = [](const std::vector<std::string>& arguments) {
        const CliParse parse = parseCli(arguments);
        return std::holds_alternative<CliUsageError>(parse) ? std::get<CliUsageError>(parse).message
                                                            : std::string("accepted");
    };
    EXPECT_EQ(refusal({"host", "stray"}), "unexpected argument 'stray'");
    EXPECT_EQ(refusal({"host", "--name", "--play"}), "--name needs a value");
    EXPECT_EQ(refusal({"join", "--timeout", "nan"}),
              "--timeout takes a positive number of seconds, not 'nan'");
    EXPECT_EQ(refusal({"host", "--play", "--wait-for", "0"}),
              "--wait-for takes a number of speakers from 1 to 7, not '0'");
    EXPECT_EQ(refusal({"join", "--import", "x"}), "--import does not apply to join");
}

// A renderer that says where it is: media frames count on from 1000 while it plays.
class CountingRenderer final : public AudioRenderer, public AudioPositionProbe {
public:
    void render(float* interleaved, int frames, const RenderInfo& /*info*/) noexcept override {
        std::fill(interleaved, interleaved + static_cast<ptrdiff_t>(frames) * 2, 0.0F);
        last_ = playing ? std::optional<double>(next_) : std::nullopt;
        next_ += playing ? frames : 0;
    }
    [[nodiscard]] const AudioPositionProbe* positionProbe() const noexcept override { return this; }
    [[nodiscard]] std::optional<double> mediaFrameAtLastBuffer() const noexcept override {
        return last_;
    }
    bool playing = true;

private:
    double next_ = 1000.0;
    std::optional<double> last_;
};

class HeardLogTest : public ::testing::Test {
protected:
    static constexpr int periodFrames = 256;
    static constexpr int64_t latencyNs = 7'000'000;

    std::filesystem::path file(const std::string& name) const {
        return device.folders().temp / name;
    }

    std::vector<HeardBuffer> read(const std::filesystem::path& path) {
        auto log = HeardLog::read(path);
        EXPECT_TRUE(log) << log.error();
        return log ? std::move(log).value() : std::vector<HeardBuffer>{};
    }

    SimWorld world;
    SimDevice device{world, "host"};
    SimAudioOutputFactory cards{
        world, device.clock(),
        SimAudioCardConfig{.outputLatencyNs = latencyNs, .periodFrames = periodFrames}};
};

TEST_F(HeardLogTest, outputsWriteWhenEachBufferIsHeard) {
    auto opened = HeardLogOutputs::open(cards, device.main(), file("host.log"));
    ASSERT_TRUE(opened) << opened.error();
    std::unique_ptr<HeardLogOutputs> outputs = std::move(opened).value();
    CountingRenderer renderer;
    std::unique_ptr<AudioOutput> output = outputs->makeOutput(device.main());
    const auto started = output->start({44100, 2}, renderer);
    ASSERT_TRUE(started) << started.error();
    world.runFor(1'000'000'000);
    renderer.playing = false; // silence is not logged
    world.runFor(200'000'000);
    renderer.playing = true;
    ASSERT_TRUE(output->start({44100, 2}, renderer)); // a second stream
    world.runFor(300'000'000);
    // When the card handed each buffer on: the log must say that plus the card's latency.
    std::set<int64_t> handOffs;
    ASSERT_NE(cards.output(), nullptr);
    for (const SimHeardBuffer& buffer : cards.output()->heardBuffers()) {
        handOffs.insert(buffer.handOffNs);
    }
    output.reset();
    outputs.reset(); // writes what is left

    const std::vector<HeardBuffer> heard = read(file("host.log"));
    ASSERT_GT(heard.size(), 200U);
    EXPECT_EQ(heard.front().mediaFrame, 1000.0);
    EXPECT_EQ(heard.front().stream, 1);
    EXPECT_EQ(heard.back().stream, 2);
    for (size_t i = 1; i < heard.size(); ++i) {
        EXPECT_EQ(heard[i].frames, periodFrames);
        EXPECT_EQ(heard[i].sampleRate, 44100);
        EXPECT_GT(heard[i].heardNs, heard[i - 1].heardNs);
    }
    for (const HeardBuffer& buffer : heard) {
        ASSERT_TRUE(handOffs.contains(buffer.heardNs - latencyNs)) << buffer.heardNs;
    }
    // Steady within each stream; the silence and the restart are the only breaks.
    EXPECT_EQ(breaksAfter(heard, 0), 1);
    EXPECT_EQ(breaksAfter(heard, heard.back().heardNs), 0);

    // A line that is not a buffer is refused with its place.
    std::ofstream(file("bad.log")) << HeardLog::header << "1 2 3 44100 1\n12 oops\n";
    const auto bad = HeardLog::read(file("bad.log"));
    ASSERT_FALSE(bad);
    EXPECT_NE(bad.error().find("bad.log:3:"), std::string::npos) << bad.error();
}

} // namespace
} // namespace merriphonic
