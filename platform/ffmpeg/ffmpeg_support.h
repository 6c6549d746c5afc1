#pragma once

// Shared plumbing of the FFmpeg implementations: owning handles, error texts, opening inputs
// and decoders. Only platform/ffmpeg includes this file.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "platform/media.h"

namespace merriphonic::ffmpeg {

struct InputDeleter {
    void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
struct CodecDeleter {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct FrameDeleter {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketDeleter {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct ResamplerDeleter {
    void operator()(SwrContext* context) const { swr_free(&context); }
};
struct FifoDeleter {
    void operator()(AVAudioFifo* fifo) const { av_audio_fifo_free(fifo); }
};

using InputPtr = std::unique_ptr<AVFormatContext, InputDeleter>;
using CodecPtr = std::unique_ptr<AVCodecContext, CodecDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using ResamplerPtr = std::unique_ptr<SwrContext, ResamplerDeleter>;
using FifoPtr = std::unique_ptr<AVAudioFifo, FifoDeleter>;

// An owned AVChannelLayout (which may hold allocated custom maps).
class ChannelLayout {
public:
    ChannelLayout() = default;
    explicit ChannelLayout(const AVChannelLayout& layout);
    ChannelLayout(const ChannelLayout& other);
    ChannelLayout& operator=(const ChannelLayout& other);
    ChannelLayout(ChannelLayout&& other) noexcept;
    ChannelLayout& operator=(ChannelLayout&& other) noexcept;
    ~ChannelLayout();

    [[nodiscard]] const AVChannelLayout& get() const { return layout_; }
    [[nodiscard]] AVChannelLayout& get() { return layout_; }
    [[nodiscard]] int channels() const { return layout_.nb_channels; }
    bool operator==(const ChannelLayout& other) const;

    // The layout of frames as the decoder labels them, or the usual one for the channel count
    // when the file names no positions.
    static ChannelLayout usable(const AVChannelLayout& layout);
    static ChannelLayout standard(int channels);

private:
    AVChannelLayout layout_{};
};

// The URL FFmpeg opens for a local file; spelled out so that no part of a file name is taken
// for a protocol.
std::string fileUrl(const std::filesystem::path& path);

// Makes and initialises a resampler between two formats; an FFmpeg error code on failure.
int makeResampler(ResamplerPtr& resampler, const ChannelLayout& outLayout, AVSampleFormat outFormat,
                  int outRate, const ChannelLayout& inLayout, AVSampleFormat inFormat, int inRate);

// FFmpeg's text for an error code.
std::string errorText(int code);

MediaError makeError(MediaErrorKind kind, std::string description);

// Opens a file and reads its stream information. Content that FFmpeg recognises as no media at
// all (empty, garbage) counts as a file without audio.
MediaResult<InputPtr> openInput(const std::filesystem::path& path);

// Index of the first audio stream, or a negative number.
int findAudioStream(AVFormatContext* input);

// A decoder for a stream, producing frames stamped in the stream's time base.
MediaResult<CodecPtr> openDecoder(const AVStream* stream);

// Silences FFmpeg's own console output once per process: every failure is reported through
// results instead.
void quietLibraryLog();

// Trims white space and line breaks (ASCII and Unicode) at both ends of UTF-8 text.
std::string trimmed(std::string_view text);

} // namespace merriphonic::ffmpeg
