#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/media.h"

struct AVChannelLayout;

namespace merriphonic {

// AudioFileReader on FFmpeg. Frame positions come from the container's timestamps (after the
// decoder has dropped the encoder delay the file declares), so a frame lands at the same
// position whether reached sequentially or by a seek; lossy codecs are decoded from well
// before a seek target so the decoder's overlap and reservoir state match.
class FfmpegAudioFileReader final : public AudioFileReader {
public:
    static MediaResult<std::unique_ptr<FfmpegAudioFileReader>>
    open(const std::filesystem::path& path);

    FfmpegAudioFileReader(const FfmpegAudioFileReader&) = delete;
    FfmpegAudioFileReader& operator=(const FfmpegAudioFileReader&) = delete;
    ~FfmpegAudioFileReader() override;

    [[nodiscard]] int sampleRate() const override;
    [[nodiscard]] int channels() const override;
    [[nodiscard]] int64_t lengthFrames() const override;
    [[nodiscard]] int64_t positionFrames() const override;
    MediaStatus seek(int64_t frame) override;
    int64_t read(float* interleaved, int64_t frames) override;
    [[nodiscard]] std::string lastError() const override;

    // Speaker positions of the delivered channels, for mixing them down.
    [[nodiscard]] const AVChannelLayout& channelLayout() const;

    struct State;

private:
    explicit FfmpegAudioFileReader(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

} // namespace merriphonic
