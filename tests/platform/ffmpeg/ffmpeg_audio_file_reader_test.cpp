#include "platform/ffmpeg/ffmpeg_audio_file_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "tests/platform/ffmpeg/test_media.h"

namespace merriphonic {
namespace {

using testmedia::media;
using testmedia::testFrames;

// Everything from the current position to the end, read in uneven pieces.
std::vector<float> readToEnd(AudioFileReader& reader) {
    std::vector<float> all;
    std::vector<float> piece(static_cast<size_t>(3000 * reader.channels()));
    for (int64_t step = 1;; step = (step * 7 + 1) % 2999 + 1) {
        const int64_t got = reader.read(piece.data(), step);
        EXPECT_GE(got, 0) << reader.lastError();
        if (got <= 0) {
            return all;
        }
        all.insert(all.end(), piece.begin(), piece.begin() + got * reader.channels());
    }
}

// Whether frames read after a seek equal those read from the start. AAC's noise substitution
// draws from the decoder's random generator, whose state a seek cannot restore, so those bands
// differ slightly: there the error may be 1% of the signal (a frame out of place makes it 7% or
// more), or 0.02 in any sample of a stretch too short to measure that way. Every other format
// must be bit-exact.
testing::AssertionResult sameFrames(const float* actual, const float* expected, int64_t samples,
                                    const std::string& name) {
    if (!name.ends_with(".m4a")) {
        return std::equal(actual, actual + samples, expected)
                   ? testing::AssertionSuccess()
                   : testing::AssertionFailure() << "samples differ";
    }
    double error = 0;
    double signal = 0;
    for (int64_t i = 0; i < samples; ++i) {
        if (samples < 512 && std::abs(actual[i] - expected[i]) > 0.02F) {
            return testing::AssertionFailure() << "sample " << i << " differs";
        }
        error += std::pow(actual[i] - expected[i], 2);
        signal += std::pow(expected[i], 2);
    }
    if (samples < 512 || std::sqrt(error) <= 0.01 * std::sqrt(signal)) {
        return testing::AssertionSuccess();
    }
    return testing::AssertionFailure()
           << "error " << std::sqrt(error) << " against signal " << std::sqrt(signal);
}

class ReaderFormats : public testing::TestWithParam<std::string> {};

// The length the reader announces is what it delivers, and it is the source's length wherever
// the file records it exactly, and it holds the right samples. Frame N is the same sample whether
// read from the start or after a seek, in any order; a seek outside the audio lands at its start or
// its end.
TEST_P(ReaderFormats, DeliversItsExactLengthAndSeeksSampleAccurately) {
    auto opened = FfmpegAudioFileReader::open(media().get(GetParam()));
    ASSERT_TRUE(opened) << opened.error().description;
    auto& reader = *opened;
    EXPECT_EQ(reader->channels(), 2);
    const std::vector<float> all = readToEnd(*reader);
    const int64_t length = reader->lengthFrames();
    EXPECT_EQ(static_cast<int64_t>(all.size()) / 2, length);
    EXPECT_EQ(reader->positionFrames(), length);
    // The command-line muxer records its edit list in milliseconds.
    EXPECT_NEAR(length, testFrames, GetParam() == "chirp.m4a" ? 44 : 0);
    // The samples themselves: lossless files give their PCM, lossy ones what an independent
    // decode gives once the declared encoder delay is dropped.
    const std::vector<float> theirs = testmedia::decodeWithCli(media().get(GetParam()));
    ASSERT_LE(all.size(), theirs.size());
    EXPECT_TRUE(std::equal(all.begin(), all.end(), theirs.begin()));

    std::vector<float> piece(2 * 2048);
    for (const int64_t target : {length / 2, int64_t{0}, int64_t{1023}, length - 1, int64_t{2048},
                                 length - 700, length / 3, length, length + 1000, int64_t{-5}}) {
        ASSERT_TRUE(reader->seek(target)) << target;
        const int64_t at = std::clamp<int64_t>(target, 0, length);
        EXPECT_EQ(reader->positionFrames(), at);
        const int64_t expected = std::min<int64_t>(2048, length - at);
        ASSERT_EQ(reader->read(piece.data(), 2048), expected) << target;
        EXPECT_TRUE(sameFrames(piece.data(), all.data() + at * 2, expected * 2, GetParam()))
            << GetParam() << " after seeking to " << target;
    }
}

INSTANTIATE_TEST_SUITE_P(Files, ReaderFormats,
                         testing::Values("chirp.wav", "chirp-64k.mp3", "chirp.m4a"),
                         [](const testing::TestParamInfo<std::string>& info) {
                             std::string name = info.param;
                             std::replace(name.begin(), name.end(), '.', '_');
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

TEST(FfmpegAudioFileReader, RefusesFilesWithoutAudio) {
    EXPECT_EQ(FfmpegAudioFileReader::open(media().get("picture.png")).error().kind,
              MediaErrorKind::noAudio);
    EXPECT_EQ(FfmpegAudioFileReader::open(media().get("empty.mp3")).error().kind,
              MediaErrorKind::noAudio);
    EXPECT_EQ(FfmpegAudioFileReader::open(media().path("missing.wav")).error().kind,
              MediaErrorKind::setup);
}

} // namespace
} // namespace merriphonic
