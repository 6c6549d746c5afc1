#pragma once

#include <filesystem>
#include <memory>
#include <vector>

#include "platform/media.h"

namespace merriphonic {

// MediaToolkit on FFmpeg: decoding through FfmpegAudioFileReader, conversion through
// FfmpegAacTranscode. Holds no state; safe to use from several threads at once.
class FfmpegMediaToolkit final : public MediaToolkit {
public:
    FfmpegMediaToolkit();

    MediaResult<std::unique_ptr<AudioFileReader>>
    openReader(const std::filesystem::path& path) override;
    MediaResult<MediaProbe> probe(const std::filesystem::path& path) override;
    MediaStatus transcodeToAac(const std::filesystem::path& source,
                               const std::filesystem::path& destination,
                               const AacSettings& settings) override;
    MediaTags metadata(const std::filesystem::path& path) override;
    std::vector<int> offeredAacBitRates(int sampleRate, int channels) override;
};

} // namespace merriphonic
