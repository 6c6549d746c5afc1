#include "host/transcoder.h"

#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "platform/ffmpeg/ffmpeg_media_toolkit.h"
#include "platform/sim/sim_device.h"
#include "platform/sim/sim_world.h"
#include "tests/platform/ffmpeg/test_media.h"

namespace merriphonic {
namespace {

using testmedia::media;
using testmedia::probeField;
using Failure = Transcoder::Failure;

TEST(TranscoderRules, ChoosesAnEncoderSampleRate) {
    const std::vector<std::pair<double, double>> cases{
        {44100, 44100}, {22050, 22050},  {8000, 8000},    {48000, 48000},  {96000, 48000},
        {88200, 44100}, {176400, 44100}, {192000, 48000}, {132300, 44100}, {64000, 48000},
        {50000, 48000}, {30000, 24000},  {11000, 8000},   {7999, 44100},   {6000, 44100}};
    for (const auto& [source, expected] : cases) {
        EXPECT_EQ(Transcoder::aacSampleRate(source), expected) << source;
    }
}

TEST(TranscoderRules, ChoosesFromTheOfferedBitRates) {
    EXPECT_EQ(Transcoder::aacBitRate(96000, {64000, 96000, 128000}), 96000);
    EXPECT_EQ(Transcoder::aacBitRate(96000, {32000, 48000, 64000}), 64000);
    EXPECT_EQ(Transcoder::aacBitRate(96000, {128000, 160000}), 128000);
    EXPECT_EQ(Transcoder::aacBitRate(96000, {}), 96000);
    // Unordered offers, and entries that are no rate at all.
    EXPECT_EQ(Transcoder::aacBitRate(96000, {160000, 32000, 0, 80000, -1}), 80000);
    EXPECT_EQ(Transcoder::aacBitRate(96000, {0, -96000}), 96000);
}

TEST(TranscoderRules, DescribesFailures) {
    EXPECT_EQ(Failure::setup("reader").description(), "Transcoder setup failed: reader");
    EXPECT_EQ(Failure::failed("append failed").description(), "Transcoding failed: append failed");
    EXPECT_EQ(Failure::noAudioTrack().description(), "No audio track");
}

// Stands in for the media layer to see what the transcoder asks of it.
class ScriptedMedia final : public MediaToolkit {
public:
    MediaResult<MediaProbe> probeResult = MediaProbe{true, 44100, 2};
    std::vector<int> offered{32000, 64000, 96000, 128000};
    MediaStatus transcodeResult = MediaDone{};
    std::optional<AacSettings> requested;
    bool destinationExisted = false;

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
    MediaTags metadata(const std::filesystem::path& /*path*/) override {
        return MediaTags{"Title", std::nullopt, 1234};
    }
    std::vector<int> offeredAacBitRates(int sampleRate, int channels) override {
        offeredFor = {sampleRate, channels};
        return offered;
    }
    std::pair<int, int> offeredFor;
};

class TranscoderOnDevice : public testing::Test {
protected:
    TranscoderOnDevice() { device.context().media = &toolkit; }

    std::optional<Failure> transcode(const std::filesystem::path& source,
                                     const std::filesystem::path& destination) {
        bool called = false;
        std::optional<Failure> result;
        Transcoder::transcode(device.context(), source, destination,
                              [&](std::optional<Failure> failure) {
                                  EXPECT_TRUE(device.main().isCurrent());
                                  called = true;
                                  result = std::move(failure);
                              });
        EXPECT_FALSE(called); // delivered by the main loop, never from inside the call
        world.runUntilIdle();
        EXPECT_TRUE(called);
        EXPECT_EQ(device.background().lastLabel(), "app.merriphonic.transcode");
        return result;
    }

    std::filesystem::path output(const std::string& name) const {
        return device.folders().temp / name;
    }

    SimWorld world;
    SimDevice device{world, "host"};
    ScriptedMedia scripted;
    FfmpegMediaToolkit toolkit;
};

TEST_F(TranscoderOnDevice, AsksForTheTransferFormat) {
    device.context().media = &scripted;
    const std::filesystem::path destination = output("stale.m4a");
    std::ofstream(destination) << "old";

    EXPECT_EQ(transcode("in.wav", destination), std::nullopt);
    EXPECT_EQ(scripted.requested, (AacSettings{44100, 2, 96000}));
    EXPECT_FALSE(scripted.destinationExisted); // a stale file is removed first

    scripted.probeResult = MediaProbe{true, 96000, 1};
    scripted.offered = {32000, 48000, 64000};
    transcode("in.wav", destination);
    EXPECT_EQ(scripted.requested, (AacSettings{48000, 1, 64000}));
    EXPECT_EQ(scripted.offeredFor, (std::pair<int, int>{48000, 1}));

    // Six channels become two; an undeclared rate is taken as 44100.
    scripted.probeResult = MediaProbe{true, 0, 6};
    scripted.offered = {};
    transcode("in.wav", destination);
    EXPECT_EQ(scripted.requested, (AacSettings{44100, 2, 96000}));
}

TEST_F(TranscoderOnDevice, MapsMediaErrorsToItsFailures) {
    device.context().media = &scripted;
    scripted.transcodeResult = MediaError{MediaErrorKind::formatRejected, "rate"};
    EXPECT_EQ(transcode("in.wav", output("o.m4a"))->description(),
              "Transcoder setup failed: AAC 44100 Hz × 2 not accepted");
    scripted.transcodeResult = MediaError{MediaErrorKind::setup, "Permission denied"};
    EXPECT_EQ(transcode("in.wav", output("o.m4a"))->description(),
              "Transcoder setup failed: Permission denied");
    scripted.transcodeResult = MediaError{MediaErrorKind::failed, "No space left on device"};
    EXPECT_EQ(transcode("in.wav", output("o.m4a"))->description(),
              "Transcoding failed: No space left on device");
    scripted.transcodeResult = MediaError{MediaErrorKind::noAudio, "No audio track"};
    EXPECT_EQ(transcode("in.wav", output("o.m4a")), Failure::noAudioTrack());

    scripted.requested.reset();
    scripted.probeResult = MediaProbe{};
    EXPECT_EQ(transcode("in.wav", output("o.m4a")), Failure::noAudioTrack());
    scripted.probeResult = MediaError{MediaErrorKind::setup, "No such file or directory"};
    EXPECT_EQ(transcode("in.wav", output("o.m4a")), Failure::setup("No such file or directory"));
    EXPECT_FALSE(scripted.requested); // nothing to convert

    device.context().media = nullptr;
    EXPECT_EQ(transcode("in.wav", output("o.m4a"))->kind, Failure::Kind::setup);
}

TEST_F(TranscoderOnDevice, ConvertsRealFiles) {
    ASSERT_EQ(transcode(media().get("tone-stereo.wav"), output("stereo.m4a")), std::nullopt);
    EXPECT_EQ(probeField(output("stereo.m4a"), "codec_name"), "aac");
    EXPECT_EQ(probeField(output("stereo.m4a"), "profile"), "LC");
    EXPECT_EQ(probeField(output("stereo.m4a"), "sample_rate"), "44100");
    EXPECT_EQ(probeField(output("stereo.m4a"), "channels"), "2");

    ASSERT_EQ(transcode(media().get("tone-5.1.wav"), output("surround.m4a")), std::nullopt);
    EXPECT_EQ(probeField(output("surround.m4a"), "channels"), "2");

    ASSERT_EQ(transcode(media().get("tone-96k.wav"), output("high.m4a")), std::nullopt);
    EXPECT_EQ(probeField(output("high.m4a"), "sample_rate"), "48000");

    EXPECT_EQ(transcode(media().get("picture.png"), output("png.m4a"))->description(),
              "No audio track");
    EXPECT_EQ(transcode(media().get("empty.mp3"), output("empty.m4a"))->description(),
              "No audio track");
}

TEST_F(TranscoderOnDevice, ReadsMetadataInTheBackground) {
    std::optional<Transcoder::Metadata> result;
    Transcoder::metadata(device.context(), media().get("tagged.mp3"),
                         [&](Transcoder::Metadata metadata) {
                             EXPECT_TRUE(device.main().isCurrent());
                             result = std::move(metadata);
                         });
    EXPECT_FALSE(result);
    world.runUntilIdle();
    ASSERT_TRUE(result);
    EXPECT_EQ(result->title, "Ünïcode Song");
    EXPECT_EQ(result->artist, "");
    EXPECT_EQ(result->durationMs, testmedia::testFrames * 1000 / 44100);

    EXPECT_EQ(Transcoder::metadataNow(&toolkit, media().get("picture.png")),
              Transcoder::Metadata{});
    EXPECT_EQ(Transcoder::metadataNow(nullptr, media().get("tagged.mp3")), Transcoder::Metadata{});
}

} // namespace
} // namespace merriphonic
