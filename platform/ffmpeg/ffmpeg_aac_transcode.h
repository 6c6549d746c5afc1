#pragma once

#include <filesystem>
#include <vector>

#include "platform/media.h"

namespace merriphonic {

// One conversion of an audio file into AAC-LC in an MPEG-4 audio file ("ipod" muxer, index
// moved to the front). The source is streamed through FfmpegAudioFileReader, so its encoder
// delay and padding are dropped; the output's own encoder delay is declared in an edit list
// at sample precision, which keeps the conversion gapless.
class FfmpegAacTranscode {
public:
    FfmpegAacTranscode(std::filesystem::path source, std::filesystem::path destination,
                       AacSettings settings);

    MediaStatus run();

    // Whether the encoder takes this sample rate and channel count at all.
    static bool acceptsFormat(int sampleRate, int channels);
    // The bit rates offered for a rate and channel count, ascending.
    static std::vector<int> offeredBitRates(int sampleRate, int channels);

private:
    std::filesystem::path source_;
    std::filesystem::path destination_;
    AacSettings settings_;
};

} // namespace merriphonic
