#include "platform/ffmpeg/ffmpeg_aac_transcode.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <utility>

#include "platform/ffmpeg/ffmpeg_audio_file_reader.h"
#include "platform/ffmpeg/ffmpeg_support.h"

namespace merriphonic {

using ffmpeg::errorText;
using ffmpeg::makeError;

namespace {

constexpr int aacBlockFrames = 1024;
// One AAC block carries at most 6144 bits per channel; the encoder clamps any higher request.
constexpr int64_t maximumBitsPerChannelBlock = 6144;
// Common AAC-LC bit rates, bits per second.
constexpr std::array<int, 18> bitRateLadder{8000,   16000,  24000,  32000,  40000,  48000,
                                            56000,  64000,  80000,  96000,  112000, 128000,
                                            160000, 192000, 224000, 256000, 288000, 320000};
constexpr int maximumEncoderChannels = 8;
constexpr int64_t readChunkFrames = 4096;

const AVCodec* aacEncoder() {
    return avcodec_find_encoder_by_name("aac");
}

std::string rejectedText(const AacSettings& settings) {
    return "AAC " + std::to_string(settings.sampleRate) + " Hz × " +
           std::to_string(settings.channels) + " not accepted";
}

struct OutputDeleter {
    void operator()(AVFormatContext* context) const {
        if (context->pb != nullptr) {
            avio_closep(&context->pb);
        }
        avformat_free_context(context);
    }
};
using OutputPtr = std::unique_ptr<AVFormatContext, OutputDeleter>;

MediaError failure(std::string description) {
    return makeError(MediaErrorKind::failed, std::move(description));
}

// Reader → resampler (rate, mixdown, planar) → block queue → encoder → muxer.
class Pipeline {
public:
    Pipeline(std::filesystem::path destination, const AacSettings& settings)
        : destination_(std::move(destination)), settings_(settings),
          layout_(ffmpeg::ChannelLayout::standard(settings.channels)) {}

    MediaStatus open(const FfmpegAudioFileReader& reader) {
        const AVCodec* codec = aacEncoder();
        encoder_.reset(codec != nullptr ? avcodec_alloc_context3(codec) : nullptr);
        packet_.reset(av_packet_alloc());
        frame_.reset(av_frame_alloc());
        if (!encoder_ || !packet_ || !frame_) {
            return makeError(MediaErrorKind::setup, "AAC encoder unavailable");
        }
        encoder_->sample_fmt = AV_SAMPLE_FMT_FLTP;
        encoder_->sample_rate = settings_.sampleRate;
        encoder_->bit_rate = settings_.bitRate;
        encoder_->profile = FF_PROFILE_AAC_LOW;
        encoder_->time_base = AVRational{1, settings_.sampleRate};
        if (av_channel_layout_copy(&encoder_->ch_layout, &layout_.get()) < 0) {
            return makeError(MediaErrorKind::setup, errorText(AVERROR(ENOMEM)));
        }

        AVFormatContext* raw = nullptr;
        const std::string url = ffmpeg::fileUrl(destination_);
        int result = avformat_alloc_output_context2(&raw, nullptr, "ipod", url.c_str());
        output_.reset(raw);
        if (result < 0 || !output_) {
            return makeError(MediaErrorKind::setup, errorText(result));
        }
        // No version strings in the file: the same source always gives the same bytes.
        output_->flags |= AVFMT_FLAG_BITEXACT;
        if ((output_->oformat->flags & AVFMT_GLOBALHEADER) != 0) {
            encoder_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        }
        result = avcodec_open2(encoder_.get(), codec, nullptr);
        if (result == AVERROR(EINVAL)) {
            return makeError(MediaErrorKind::formatRejected, rejectedText(settings_));
        }
        if (result < 0) {
            return makeError(MediaErrorKind::setup, errorText(result));
        }
        AVStream* stream = avformat_new_stream(output_.get(), nullptr);
        if (stream == nullptr) {
            return makeError(MediaErrorKind::setup, errorText(AVERROR(ENOMEM)));
        }
        result = avcodec_parameters_from_context(stream->codecpar, encoder_.get());
        if (result < 0) {
            return makeError(MediaErrorKind::setup, errorText(result));
        }
        stream->time_base = encoder_->time_base;
        result = avio_open(&output_->pb, url.c_str(), AVIO_FLAG_WRITE);
        if (result < 0) {
            return makeError(MediaErrorKind::setup, errorText(result));
        }
        AVDictionary* options = nullptr;
        av_dict_set(&options, "movflags", "+faststart", 0);
        // The edit list that hides the encoder delay is written in movie time units; counting
        // them in samples keeps it exact.
        av_dict_set_int(&options, "movie_timescale", settings_.sampleRate, 0);
        result = avformat_write_header(output_.get(), &options);
        av_dict_free(&options);
        if (result < 0) {
            return makeError(MediaErrorKind::setup, errorText(result));
        }

        result = ffmpeg::makeResampler(
            resampler_, layout_, AV_SAMPLE_FMT_FLTP, settings_.sampleRate,
            ffmpeg::ChannelLayout(reader.channelLayout()), AV_SAMPLE_FMT_FLT, reader.sampleRate());
        if (result < 0) {
            return makeError(MediaErrorKind::setup, errorText(result));
        }
        fifo_.reset(
            av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, settings_.channels, 4 * aacBlockFrames));
        frame_->nb_samples = aacBlockFrames;
        frame_->format = AV_SAMPLE_FMT_FLTP;
        frame_->sample_rate = settings_.sampleRate;
        if (!fifo_ || av_channel_layout_copy(&frame_->ch_layout, &layout_.get()) < 0 ||
            av_frame_get_buffer(frame_.get(), 0) < 0) {
            return makeError(MediaErrorKind::setup, errorText(AVERROR(ENOMEM)));
        }
        planes_.resize(static_cast<size_t>(settings_.channels));
        return Done{};
    }

    MediaStatus pump(FfmpegAudioFileReader& reader) {
        std::vector<float> chunk(static_cast<size_t>(readChunkFrames * reader.channels()));
        for (;;) {
            const int64_t got = reader.read(chunk.data(), readChunkFrames);
            if (got < 0) {
                return failure(reader.lastError());
            }
            if (got == 0) {
                break;
            }
            if (auto queued = convert(chunk.data(), static_cast<int>(got)); !queued) {
                return queued;
            }
            while (av_audio_fifo_size(fifo_.get()) >= aacBlockFrames) {
                if (auto sent = encodeBlock(aacBlockFrames); !sent) {
                    return sent;
                }
            }
        }
        // What the resampler still holds, then a last short block.
        if (auto queued = convert(nullptr, 0); !queued) {
            return queued;
        }
        while (av_audio_fifo_size(fifo_.get()) > 0) {
            if (auto sent = encodeBlock(std::min(aacBlockFrames, av_audio_fifo_size(fifo_.get())));
                !sent) {
                return sent;
            }
        }
        if (auto drained = encode(nullptr); !drained) {
            return drained;
        }
        int result = av_write_trailer(output_.get());
        if (result < 0) {
            return failure(errorText(result));
        }
        result = avio_closep(&output_->pb);
        if (result < 0) {
            return failure(errorText(result));
        }
        return Done{};
    }

private:
    MediaStatus convert(const float* interleaved, int frames) {
        const int capacity = swr_get_out_samples(resampler_.get(), frames);
        if (capacity < 0) {
            return failure(errorText(capacity));
        }
        std::vector<uint8_t*> pointers(planes_.size());
        for (size_t channel = 0; channel < planes_.size(); ++channel) {
            planes_[channel].resize(static_cast<size_t>(capacity));
            pointers[channel] = reinterpret_cast<uint8_t*>(planes_[channel].data());
        }
        const auto* in = reinterpret_cast<const uint8_t*>(interleaved);
        const int produced = swr_convert(resampler_.get(), pointers.data(), capacity,
                                         interleaved != nullptr ? &in : nullptr, frames);
        if (produced < 0) {
            return failure(errorText(produced));
        }
        if (produced > 0 &&
            av_audio_fifo_write(fifo_.get(), reinterpret_cast<void**>(pointers.data()), produced) <
                produced) {
            return failure(errorText(AVERROR(ENOMEM)));
        }
        return Done{};
    }

    MediaStatus encodeBlock(int frames) {
        int result = av_frame_make_writable(frame_.get());
        if (result < 0) {
            return failure(errorText(result));
        }
        frame_->nb_samples = frames;
        if (av_audio_fifo_read(fifo_.get(), reinterpret_cast<void**>(frame_->data), frames) <
            frames) {
            return failure("sample queue underrun");
        }
        frame_->pts = nextPts_;
        nextPts_ += frames;
        return encode(frame_.get());
    }

    MediaStatus encode(const AVFrame* frame) {
        int result = avcodec_send_frame(encoder_.get(), frame);
        if (result < 0) {
            return failure(errorText(result));
        }
        for (;;) {
            result = avcodec_receive_packet(encoder_.get(), packet_.get());
            if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) {
                return Done{};
            }
            if (result < 0) {
                return failure(errorText(result));
            }
            packet_->stream_index = 0;
            av_packet_rescale_ts(packet_.get(), encoder_->time_base,
                                 output_->streams[0]->time_base);
            result = av_interleaved_write_frame(output_.get(), packet_.get());
            if (result < 0) {
                return failure(errorText(result));
            }
        }
    }

    std::filesystem::path destination_;
    AacSettings settings_;
    ffmpeg::ChannelLayout layout_;
    ffmpeg::CodecPtr encoder_;
    OutputPtr output_;
    ffmpeg::ResamplerPtr resampler_;
    ffmpeg::FifoPtr fifo_;
    ffmpeg::FramePtr frame_;
    ffmpeg::PacketPtr packet_;
    std::vector<std::vector<float>> planes_;
    int64_t nextPts_ = 0;
};

} // namespace

FfmpegAacTranscode::FfmpegAacTranscode(std::filesystem::path source,
                                       std::filesystem::path destination, AacSettings settings)
    : source_(std::move(source)), destination_(std::move(destination)), settings_(settings) {}

bool FfmpegAacTranscode::acceptsFormat(int sampleRate, int channels) {
    const AVCodec* codec = aacEncoder();
    if (codec == nullptr || channels < 1 || channels > maximumEncoderChannels) {
        return false;
    }
    if (codec->supported_samplerates == nullptr) {
        return sampleRate > 0;
    }
    for (const int* rate = codec->supported_samplerates; *rate != 0; ++rate) {
        if (*rate == sampleRate) {
            return true;
        }
    }
    return false;
}

// The encoder publishes no list of bit rates. What it really takes for a rate and channel count
// is anything up to 6144 bits per channel per 1024-frame block, i.e.
// 6144 × channels × sampleRate / 1024 bits per second (it clamps higher requests). The offered
// list is the ladder of common AAC-LC rates up to that maximum; empty when the encoder refuses
// the rate or channel count.
std::vector<int> FfmpegAacTranscode::offeredBitRates(int sampleRate, int channels) {
    std::vector<int> offered;
    if (!acceptsFormat(sampleRate, channels)) {
        return offered;
    }
    const int64_t maximum = maximumBitsPerChannelBlock * channels * sampleRate / aacBlockFrames;
    for (const int rate : bitRateLadder) {
        if (rate <= maximum) {
            offered.push_back(rate);
        }
    }
    return offered;
}

MediaStatus FfmpegAacTranscode::run() {
    ffmpeg::quietLibraryLog();
    auto reader = FfmpegAudioFileReader::open(source_);
    if (!reader) {
        return reader.error();
    }
    if (settings_.channels < 1 || settings_.channels > 2 || settings_.bitRate <= 0 ||
        !acceptsFormat(settings_.sampleRate, settings_.channels)) {
        return makeError(MediaErrorKind::formatRejected, rejectedText(settings_));
    }
    Pipeline pipeline(destination_, settings_);
    if (auto opened = pipeline.open(**reader); !opened) {
        return opened;
    }
    return pipeline.pump(**reader);
}

} // namespace merriphonic
