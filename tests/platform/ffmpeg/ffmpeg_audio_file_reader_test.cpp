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

std::unique_ptr<FfmpegAudioFileReader> openOrFail(const std::string& name) {
    auto reader = FfmpegAudioFileReader::open(media().get(name));
    if (!reader) {
        ADD_FAILURE() << name << ": " << reader.error().description;
        return nullptr;
    }
    return std::move(reader).value();
}

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
    auto reader = openOrFail(GetParam());
    ASSERT_TRUE(reader);
    EXPECT_EQ(reader->sampleRate(), 44100);
    EXPECT_EQ(reader->channels(), 2);
    const std::vector<float> all = readToEnd(*reader);
    const int64_t length = reader->lengthFrames();
    EXPECT_EQ(static_cast<int64_t>(all.size()) / 2, length);
    EXPECT_EQ(reader->positionFrames(), length);
    // The command-line muxer records its edit list in milliseconds.
    EXPECT_NEAR(length, testFrames, GetParam() == "chirp.m4a" ? 44 : 0);
    // The samples themselves: lossless files give their PCM, lossy ones what an independent
    // decode gives once the declared encoder delay is dropped.
    if (GetParam() != "chirp-320k.mp3" && GetParam() != "chirp.ogg") {
        const std::vector<float> theirs = testmedia::decodeWithCli(media().get(GetParam()));
        ASSERT_LE(all.size(), theirs.size());
        EXPECT_TRUE(std::equal(all.begin(), all.end(), theirs.begin()));
    }

    std::vector<float> piece(2 * 2048);
    for (const int64_t target : {length / 2, int64_t{0}, int64_t{1}, int64_t{1023}, int64_t{1024},
                                 int64_t{44100}, length - 1, int64_t{2048}, length - 700,
                                 int64_t{99000}, length / 3, length, length + 1000, int64_t{-5}}) {
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
                         testing::Values("chirp.wav", "chirp-64k.mp3", "chirp-320k.mp3",
                                         "chirp.m4a", "chirp.flac", "chirp.ogg"),
                         [](const testing::TestParamInfo<std::string>& info) {
                             std::string name = info.param;
                             std::replace(name.begin(), name.end(), '.', '_');
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

TEST(FfmpegAudioFileReader, RefusesFilesWithoutAudio) {
    for (const auto& [file, error] : std::vector<std::pair<std::filesystem::path, MediaError>>{
             {media().get("picture.png"), {MediaErrorKind::noAudio, "No audio track"}},
             {media().get("empty.mp3"), {MediaErrorKind::noAudio, "No audio track"}},
             {media().path("missing.wav"), {MediaErrorKind::setup, "No such file or directory"}}}) {
        auto reader = FfmpegAudioFileReader::open(file);
        ASSERT_FALSE(reader) << file;
        EXPECT_EQ(reader.error(), error) << file;
    }
}

// A cut-off file plays what it holds and ends cleanly, with seeks inside it still exact, even
// where the container still states the full length.
TEST(FfmpegAudioFileReader, ReadsCutOffFiles) {
    for (const std::string name : {"truncated.mp3", "truncated.m4a"}) {
        auto reader = openOrFail(name);
        ASSERT_TRUE(reader);
        EXPECT_GT(reader->lengthFrames(), testFrames / 3) << name;
        EXPECT_LT(reader->lengthFrames(), testFrames * 2 / 3) << name;
        const std::vector<float> all = readToEnd(*reader);
        EXPECT_EQ(static_cast<int64_t>(all.size()) / 2, reader->lengthFrames());
        // The audio does not end in silence made up to fill a stated length.
        EXPECT_NE(all[all.size() - 2], 0.0F);
        const int64_t target = reader->lengthFrames() - 5000;
        ASSERT_TRUE(reader->seek(target));
        std::vector<float> piece(2 * 1000);
        ASSERT_EQ(reader->read(piece.data(), 1000), 1000);
        EXPECT_TRUE(sameFrames(piece.data(), all.data() + target * 2, 2000, name)) << name;
    }
}

} // namespace
} // namespace merriphonic
