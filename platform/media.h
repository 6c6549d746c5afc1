#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/result.h"

namespace merriphonic {

// Which stage of a media operation failed; callers map it onto their own error texts.
enum class MediaErrorKind {
    setup,          // the file, a codec or the output could not be opened or prepared
    noAudio,        // the file holds no audio stream (or nothing recognisable as media)
    formatRejected, // the encoder does not take the requested rate, channels or bit rate
    failed,         // reading, decoding, encoding or writing failed while data was flowing
};

struct MediaError {
    MediaErrorKind kind = MediaErrorKind::failed;
    std::string description;
    bool operator==(const MediaError&) const = default;
};

// Media code never throws across this interface.
template <typename T>
using MediaResult = Result<T, MediaError>;
using MediaStatus = Result<Done, MediaError>;

// Decoded audio of one file as float frames at the file's own rate and channel count.
// Frame N is the same sample whether reached by reading from the start or after a seek;
// encoder delay and padding declared by the file are not part of the audio. The file is
// streamed, never held in memory. One thread at a time may use a reader.
class AudioFileReader {
public:
    virtual ~AudioFileReader() = default;

    [[nodiscard]] virtual int sampleRate() const = 0;
    [[nodiscard]] virtual int channels() const = 0;
    // Exact number of frames the reader delivers from frame 0 to the end.
    [[nodiscard]] virtual int64_t lengthFrames() const = 0;
    // The frame the next read starts at.
    [[nodiscard]] virtual int64_t positionFrames() const = 0;

    // Moves to a frame (clamped to [0, lengthFrames]).
    virtual MediaStatus seek(int64_t frame) = 0;
    // Fills up to `frames` interleaved frames; returns the number filled, 0 at the end, or a
    // negative number on error (see lastError).
    virtual int64_t read(float* interleaved, int64_t frames) = 0;
    [[nodiscard]] virtual std::string lastError() const = 0;
};

// The first audio stream of a file, as the file declares it.
struct MediaProbe {
    bool hasAudio = false;
    int sampleRate = 0; // 0 when not declared
    int channels = 0;   // 0 when not declared
    bool operator==(const MediaProbe&) const = default;
};

struct AacSettings {
    int sampleRate = 44100;
    int channels = 2; // 1 or 2; more source channels are mixed down
    int bitRate = 96000;
    bool operator==(const AacSettings&) const = default;
};

// Descriptive tags and length of a file. Texts are trimmed of white space and line breaks; a
// tag of only white space is present and empty.
struct MediaTags {
    std::optional<std::string> title;
    std::optional<std::string> artist;
    int64_t durationMs = 0; // 0 when unknown
    bool operator==(const MediaTags&) const = default;
};

// Decoding, encoding and inspection of media files. Every operation blocks while it works
// (run it off the main loop) and may run on several threads at once.
class MediaToolkit {
public:
    virtual ~MediaToolkit() = default;

    virtual MediaResult<std::unique_ptr<AudioFileReader>>
    openReader(const std::filesystem::path& path) = 0;
    virtual MediaResult<MediaProbe> probe(const std::filesystem::path& path) = 0;
    // Writes AAC-LC in an MPEG-4 audio file with its index before the media data. Creates or
    // replaces the destination; on failure a partial destination may remain for the caller to
    // remove.
    virtual MediaStatus transcodeToAac(const std::filesystem::path& source,
                                       const std::filesystem::path& destination,
                                       const AacSettings& settings) = 0;
    // Never fails: what cannot be read stays absent or 0.
    virtual MediaTags metadata(const std::filesystem::path& path) = 0;
    // The bit rates (bits per second) the AAC encoder takes for this rate and channel count,
    // ascending; empty when it takes none.
    virtual std::vector<int> offeredAacBitRates(int sampleRate, int channels) = 0;
};

} // namespace merriphonic
