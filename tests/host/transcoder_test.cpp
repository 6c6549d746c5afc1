#include "host/transcoder.h"

#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "tests/platform/ffmpeg/test_media.h"

namespace merriphonic {
namespace {

using testmedia::media;
using Failure = Transcoder::Failure;

TEST(TranscoderRules, ChoosesAnEncoderSampleRateAndBitRate) {
    const std::vector<std::pair<double, double>> rates{
        {44100, 44100},  {8000, 8000},   {96000, 48000}, {88200, 44100}, {176400, 44100},
        {132300, 44100}, {64000, 48000}, {30000, 24000}, {11000, 8000},  {7999, 44100}};
    for (const auto& [source, expected] : rates) {
        EXPECT_EQ(Transcoder::aacSampleRate(source), expected) << source;
    }
    EXPECT_EQ(Transcoder::aacBitRate(96000, {128000, 160000}), 128000);
    // Unordered offers, and entries that are no rate at all.
    EXPECT_EQ(Transcoder::aacBitRate(96000, {160000, 32000, 0, 80000, -1}), 80000);
    EXPECT_EQ(Transcoder::aacBitRate(96000, {0, -96000}), 96000);
}

// Stands in for the media layer to see what the transcoder asks of it.
class ScriptedMedia final : public MediaToolkit {
public:
    MediaResult<std::unique_ptr<AudioFileReader>>
    openReader(const std::filesystem::path& /*path*/) override {
        return MediaError{MediaErrorKind::setup, "unused"};
    }
    MediaResult<MediaProbe> probe(const std::filesystem::path& /*path*/) override {
        return probeResult;
    }
    MediaStatus transcodeToAac(const std::filesystem::path& /*source*/,
                               const std::filesystem::path& destination,
                               const AacSettings& settings) override {
        requested = settings;
        destinationExisted = std::filesystem::exists(destination);
        return transcodeResult;
    }
    MediaTags metadata(const std::filesystem::path& /*path*/) override { return {}; }
    std::vector<int> offeredAacBitRates(int sampleRate, int channels) override {
        offeredFor = {sampleRate, channels};
        return offered;
    }

    MediaResult<MediaProbe> probeResult = MediaProbe{true, 44100, 2};
    std::vector<int> offered{32000, 64000, 96000, 128000};
    MediaStatus transcodeResult = Done{};
    std::optional<AacSettings> requested;
    std::pair<int, int> offeredFor;
    bool destinationExisted = false;
};

TEST(Transcoder, AsksForTheTransferFormatAndMapsMediaErrorsToItsFailures) {
    ScriptedMedia scripted;
    const std::filesystem::path destination = media().path("stale.m4a");
    std::ofstream(destination) << "old";
    EXPECT_TRUE(Transcoder::transcodeNow(&scripted, "in.wav", destination));
    EXPECT_EQ(scripted.requested, (AacSettings{44100, 2, 96000}));
    EXPECT_FALSE(scripted.destinationExisted); // a stale file is removed first
    scripted.probeResult = MediaProbe{true, 96000, 1};
    scripted.offered = {32000, 48000, 64000};
    Transcoder::transcodeNow(&scripted, "in.wav", destination);
    EXPECT_EQ(scripted.requested, (AacSettings{48000, 1, 64000}));
    EXPECT_EQ(scripted.offeredFor, (std::pair<int, int>{48000, 1}));
    // Six channels become two; an undeclared rate is taken as 44100.
    scripted.probeResult = MediaProbe{true, 0, 6};
    scripted.offered = {};
    Transcoder::transcodeNow(&scripted, "in.wav", destination);
    EXPECT_EQ(scripted.requested, (AacSettings{44100, 2, 96000}));

    ScriptedMedia failing;
    failing.transcodeResult = MediaError{MediaErrorKind::failed, "No space left on device"};
    EXPECT_EQ(Transcoder::transcodeNow(&failing, "in.wav", "o.m4a").error().description(),
              "Transcoding failed: No space left on device");
    // A file the probe finds no audio in: nothing is converted.
    ScriptedMedia unprobed;
    unprobed.probeResult = MediaProbe{};
    EXPECT_EQ(Transcoder::transcodeNow(&unprobed, "in.wav", "o.m4a").error(),
              Failure::noAudioTrack());
    EXPECT_FALSE(unprobed.requested);
    EXPECT_EQ(Transcoder::transcodeNow(nullptr, "in.wav", "o.m4a").error().kind,
              Failure::Kind::setup);
}

} // namespace
} // namespace merriphonic
