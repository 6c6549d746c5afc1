#include "platform/ffmpeg/ffmpeg_media_toolkit.h"

#include <gtest/gtest.h>

#include <array>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "platform/ffmpeg/ffmpeg_support.h"
#include "tests/platform/ffmpeg/test_media.h"

namespace merriphonic {
namespace {

using testmedia::media;
using testmedia::testFrames;

std::string bytesOf(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The library's import reads tags, and refuses files without audio, through this toolkit; here
// what it does not meet: surround, Ogg's comments on the stream, and the trimming itself.
TEST(FfmpegMediaToolkit, ProbesAndReadsTrimmedTags) {
    FfmpegMediaToolkit toolkit;
    EXPECT_EQ(*toolkit.probe(media().get("tone-5.1.wav")), (MediaProbe{true, 44100, 6}));
    EXPECT_EQ(toolkit.probe(media().path("missing.wav")).error().kind, MediaErrorKind::setup);
    EXPECT_EQ(toolkit.metadata(media().get("tagged.ogg")),
              (MediaTags{"Ogg Title", "Someone", testFrames * 1000 / 44100}));
    EXPECT_EQ(toolkit.metadata(media().get("tone-96k.wav")),
              (MediaTags{std::nullopt, std::nullopt, testFrames * 1000 / 96000}));

    EXPECT_EQ(ffmpeg::trimmed("\u00A0\u3000 Title\u2009\r\n\u2028"), "Title");
    EXPECT_EQ(ffmpeg::trimmed("  inner  space  "), "inner  space");
    EXPECT_EQ(ffmpeg::trimmed("\u00E0"), "\u00E0"); // shares its lead byte with no-break space
}

// The encoder takes up to 6144 bits per channel per 1024-frame block.
TEST(FfmpegMediaToolkit, OffersBitRatesTheEncoderTakes) {
    FfmpegMediaToolkit toolkit;
    const std::vector<int> stereo = toolkit.offeredAacBitRates(44100, 2);
    ASSERT_FALSE(stereo.empty());
    EXPECT_EQ(stereo.front(), 8000);
    EXPECT_EQ(stereo.back(), 320000);
    EXPECT_TRUE(std::is_sorted(stereo.begin(), stereo.end()));
    EXPECT_EQ(toolkit.offeredAacBitRates(8000, 1).back(), 48000);
    EXPECT_EQ(toolkit.offeredAacBitRates(11025, 1).back(), 64000);
    EXPECT_TRUE(toolkit.offeredAacBitRates(50000, 2).empty());
    EXPECT_TRUE(toolkit.offeredAacBitRates(44100, 0).empty());
}

class Transcoding : public testing::Test {
protected:
    std::filesystem::path output(const std::string& name) { return media().path("out-" + name); }

    // Transcodes and checks what every output must be: as long as the source to the frame, and
    // decodable at the given format.
    std::vector<float> transcodeAndCheck(const std::string& source, const AacSettings& settings) {
        const std::filesystem::path out = output(source + ".m4a");
        const MediaStatus status = toolkit.transcodeToAac(media().get(source), out, settings);
        EXPECT_TRUE(status) << (status ? "" : status.error().description);

        auto input = toolkit.openReader(media().get(source));
        auto result = toolkit.openReader(out);
        EXPECT_TRUE(input && result);
        if (!input || !result) {
            return {};
        }
        const auto expectedFrames = std::llround(static_cast<double>((*input)->lengthFrames()) /
                                                 (*input)->sampleRate() * settings.sampleRate);
        // Gapless: the edit list hides the encoder delay and padding to the frame.
        EXPECT_NEAR((*result)->lengthFrames(), expectedFrames,
                    settings.sampleRate == 44100 ? 0 : 1);
        std::vector<float> decoded(
            static_cast<size_t>((*result)->lengthFrames() * settings.channels));
        EXPECT_EQ((*result)->read(decoded.data(), (*result)->lengthFrames()),
                  (*result)->lengthFrames());
        return decoded;
    }

    FfmpegMediaToolkit toolkit;
};

// Each tone stays in its channel, at its pitch, through channel and rate changes: the left
// (or only) channel carries 440 Hz, the right 660 Hz. Surround is mixed down with its back
// channels on their sides.
TEST_F(Transcoding, KeepsTonesInTheirChannelsAtTheGivenRate) {
    struct Case {
        std::string source;
        AacSettings settings;
    };
    for (const Case& c : std::vector<Case>{{"tone-stereo.wav", {44100, 2, 96000}},
                                           {"tone-mono.wav", {44100, 1, 64000}},
                                           {"tone-96k.wav", {48000, 2, 96000}},
                                           {"tone-5.1.wav", {44100, 2, 96000}}}) {
        const std::vector<float> decoded = transcodeAndCheck(c.source, c.settings);
        ASSERT_FALSE(decoded.empty()) << c.source;
        const auto power = [&](int channel, double frequency) {
            return testmedia::tonePower(decoded, c.settings.channels, channel,
                                        c.settings.sampleRate, frequency);
        };
        for (int channel = 0; channel < c.settings.channels; ++channel) {
            // A tone off its pitch by a fraction of a hertz leaves next to no power.
            const double own = channel == 0 ? 440 : 660;
            const double other = channel == 0 ? 660 : 440;
            EXPECT_GT(power(channel, own), 1e-3) << c.source << " channel " << channel;
            EXPECT_GT(power(channel, own), 100 * power(channel, other))
                << c.source << " channel " << channel;
        }
    }
}

// The same source always gives the same bytes, so a re-import hashes to the same key, also
// when two run at once.
TEST_F(Transcoding, IsDeterministicAndRunsSeveralAtOnce) {
    const AacSettings settings{44100, 2, 96000};
    const std::filesystem::path source = media().get("chirp-64k.mp3");
    bool otherDone = false;
    std::thread other([&] {
        otherDone = static_cast<bool>(toolkit.transcodeToAac(source, output("1.m4a"), settings));
    });
    EXPECT_TRUE(toolkit.transcodeToAac(source, output("0.m4a"), settings));
    other.join();
    EXPECT_TRUE(otherDone);
    EXPECT_EQ(bytesOf(output("0.m4a")), bytesOf(output("1.m4a")));
}

// Compressed and damaged sources are taken; what cannot be done is said.
TEST_F(Transcoding, TakesWhatItCanAndSaysWhatWentWrong) {
    const AacSettings good{44100, 2, 96000};
    for (const std::string source : {"chirp-320k.mp3", "song", "truncated.mp3"}) {
        const MediaStatus status =
            toolkit.transcodeToAac(media().get(source), output("t.m4a"), good);
        EXPECT_TRUE(status) << source << ": " << (status ? "" : status.error().description);
    }
    const std::filesystem::path tone = media().get("tone-stereo.wav");
    EXPECT_EQ(
        toolkit.transcodeToAac(media().get("picture.png"), output("p.m4a"), good).error().kind,
        MediaErrorKind::noAudio);
    EXPECT_EQ(toolkit.transcodeToAac(tone, output("r.m4a"), {50000, 2, 96000}).error().kind,
              MediaErrorKind::formatRejected);
    EXPECT_FALSE(toolkit.transcodeToAac(tone, output("r.m4a"), {44100, 3, 96000}));
    EXPECT_EQ(
        toolkit.transcodeToAac(tone, media().path("no-such-folder/out.m4a"), good).error().kind,
        MediaErrorKind::setup);
}

} // namespace
} // namespace merriphonic
