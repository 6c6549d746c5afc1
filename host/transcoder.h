#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "core/result.h"
#include "platform/media.h"

namespace merriphonic {

// Converts an imported audio file into the transfer format (AAC-LC in an MPEG-4 audio file,
// mono or stereo, at a rate and bit rate the encoder takes) and reads a file's title, artist and
// duration. Stateless: every conversion is one background task of its own.
class Transcoder {
public:
    struct Failure {
        enum class Kind { setup, failed, noAudioTrack };
        Kind kind = Kind::failed;
        std::string text; // the detail of setup and failed

        static Failure setup(std::string text) { return {Kind::setup, std::move(text)}; }
        static Failure failed(std::string text) { return {Kind::failed, std::move(text)}; }
        static Failure noAudioTrack() { return {Kind::noAudioTrack, {}}; }

        // The user-facing text.
        [[nodiscard]] std::string description() const;
        bool operator==(const Failure&) const = default;
    };

    struct Metadata {
        std::optional<std::string> title;
        std::optional<std::string> artist;
        int64_t durationMs = 0; // 0 when unknown
        bool operator==(const Metadata&) const = default;
    };

    static constexpr int preferredBitRate = 96000;
    static constexpr const char* workLabel = "app.merriphonic.transcode";

    // The encoder sample rate for a source sample rate.
    static double aacSampleRate(double sourceRate);
    // Picks from the bit rates the encoder offers: the preferred one when offered, else the
    // largest below it, else the smallest; the preferred one when nothing is offered.
    static int aacBitRate(int preferred, const std::vector<int>& offered);
    // The same on the encoder's own offer for a rate and channel count.
    static int aacBitRate(MediaToolkit& media, double sampleRate, int channels, int preferred);

    // Converts source into destination (replaced). Blocks: for code that runs on a worker. A
    // failed conversion may leave a partial destination for the caller to delete.
    static Result<Done, Failure> transcodeNow(MediaToolkit* media,
                                              const std::filesystem::path& source,
                                              const std::filesystem::path& destination);
    // A file's tags and duration; never fails: what cannot be read stays absent or 0. Blocks.
    static Metadata metadataNow(MediaToolkit* media, const std::filesystem::path& file);
};

} // namespace merriphonic
