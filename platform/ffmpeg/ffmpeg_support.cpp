#include "platform/ffmpeg/ffmpeg_support.h"

#include <array>
#include <mutex>

namespace merriphonic::ffmpeg {

ChannelLayout::ChannelLayout(const AVChannelLayout& layout) {
    if (av_channel_layout_copy(&layout_, &layout) < 0) {
        layout_ = {};
    }
}

ChannelLayout::ChannelLayout(const ChannelLayout& other) : ChannelLayout(other.layout_) {}

ChannelLayout& ChannelLayout::operator=(const ChannelLayout& other) {
    if (this != &other) {
        av_channel_layout_uninit(&layout_);
        if (av_channel_layout_copy(&layout_, &other.layout_) < 0) {
            layout_ = {};
        }
    }
    return *this;
}

ChannelLayout::ChannelLayout(ChannelLayout&& other) noexcept : layout_(other.layout_) {
    other.layout_ = {};
}

ChannelLayout& ChannelLayout::operator=(ChannelLayout&& other) noexcept {
    if (this != &other) {
        av_channel_layout_uninit(&layout_);
        layout_ = other.layout_;
        other.layout_ = {};
    }
    return *this;
}

ChannelLayout::~ChannelLayout() {
    av_channel_layout_uninit(&layout_);
}

bool ChannelLayout::operator==(const ChannelLayout& other) const {
    return av_channel_layout_compare(&layout_, &other.layout_) == 0;
}

ChannelLayout ChannelLayout::usable(const AVChannelLayout& layout) {
    if (layout.order == AV_CHANNEL_ORDER_UNSPEC || av_channel_layout_check(&layout) == 0) {
        return standard(layout.nb_channels);
    }
    return ChannelLayout(layout);
}

ChannelLayout ChannelLayout::standard(int channels) {
    ChannelLayout result;
    av_channel_layout_default(&result.layout_, channels);
    return result;
}

int makeResampler(ResamplerPtr& resampler, const ChannelLayout& outLayout, AVSampleFormat outFormat,
                  int outRate, const ChannelLayout& inLayout, AVSampleFormat inFormat, int inRate) {
    // This FFmpeg generation takes the layouts through non-const pointers.
    ChannelLayout out(outLayout);
    ChannelLayout in(inLayout);
    SwrContext* raw = nullptr;
    int result = swr_alloc_set_opts2(&raw, &out.get(), outFormat, outRate, &in.get(), inFormat,
                                     inRate, 0, nullptr);
    resampler.reset(raw);
    if (result >= 0) {
        result = swr_init(resampler.get());
    }
    if (result < 0) {
        resampler.reset();
    }
    return result;
}

std::string fileUrl(const std::filesystem::path& path) {
    std::error_code ignored;
    const std::filesystem::path absolute = std::filesystem::absolute(path, ignored);
    return "file:" + (absolute.empty() ? path : absolute).string();
}

std::string errorText(int code) {
    std::array<char, AV_ERROR_MAX_STRING_SIZE> text{};
    if (av_strerror(code, text.data(), text.size()) < 0) {
        return "error " + std::to_string(code);
    }
    return text.data();
}

MediaError makeError(MediaErrorKind kind, std::string description) {
    return MediaError{kind, std::move(description)};
}

MediaResult<InputPtr> openInput(const std::filesystem::path& path) {
    quietLibraryLog();
    AVFormatContext* raw = nullptr;
    const std::string url = fileUrl(path);
    int result = avformat_open_input(&raw, url.c_str(), nullptr, nullptr);
    if (result < 0) {
        std::error_code ignored;
        if (result == AVERROR_INVALIDDATA || result == AVERROR_EOF ||
            (std::filesystem::is_regular_file(path, ignored) &&
             std::filesystem::file_size(path, ignored) == 0)) {
            return makeError(MediaErrorKind::noAudio, "No audio track");
        }
        return makeError(MediaErrorKind::setup, errorText(result));
    }
    InputPtr input(raw);
    result = avformat_find_stream_info(input.get(), nullptr);
    if (result < 0) {
        return makeError(MediaErrorKind::setup, errorText(result));
    }
    return input;
}

int findAudioStream(AVFormatContext* input) {
    return av_find_best_stream(input, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
}

MediaResult<CodecPtr> openDecoder(const AVStream* stream) {
    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    if (codec == nullptr) {
        return makeError(MediaErrorKind::setup, std::string("no decoder for ") +
                                                    avcodec_get_name(stream->codecpar->codec_id));
    }
    CodecPtr decoder(avcodec_alloc_context3(codec));
    if (!decoder) {
        return makeError(MediaErrorKind::setup, errorText(AVERROR(ENOMEM)));
    }
    int result = avcodec_parameters_to_context(decoder.get(), stream->codecpar);
    if (result < 0) {
        return makeError(MediaErrorKind::setup, errorText(result));
    }
    // With the packet time base known, the decoder moves frame timestamps past the samples it
    // drops for encoder delay, which keeps frame positions exact.
    decoder->pkt_timebase = stream->time_base;
    decoder->thread_count = 1;
    result = avcodec_open2(decoder.get(), codec, nullptr);
    if (result < 0) {
        return makeError(MediaErrorKind::setup, errorText(result));
    }
    return decoder;
}

void quietLibraryLog() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

namespace {

// Length in bytes of a white-space or line-break character at the start of text, or 0.
size_t leadingSpace(std::string_view text) {
    if (text.empty()) {
        return 0;
    }
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char first = byte(0);
    if (first == ' ' || (first >= '\t' && first <= '\r')) {
        return 1;
    }
    if (text.size() >= 2 && first == 0xC2 && (byte(1) == 0x85 || byte(1) == 0xA0)) {
        return 2; // NEL, no-break space
    }
    if (text.size() >= 3) {
        const unsigned a = first;
        const unsigned b = byte(1);
        const unsigned c = byte(2);
        if (a == 0xE1 && b == 0x9A && c == 0x80) {
            return 3; // ogham space mark
        }
        if (a == 0xE2 && b == 0x80 &&
            ((c >= 0x80 && c <= 0x8A) || c == 0xA8 || c == 0xA9 || c == 0xAF)) {
            return 3; // en quad … hair space, line and paragraph separators, narrow no-break
        }
        if (a == 0xE2 && b == 0x81 && c == 0x9F) {
            return 3; // medium mathematical space
        }
        if (a == 0xE3 && b == 0x80 && c == 0x80) {
            return 3; // ideographic space
        }
    }
    return 0;
}

// Length in bytes of a white-space or line-break character at the end of text, or 0.
size_t trailingSpace(std::string_view text) {
    for (size_t length = 1; length <= 3 && length <= text.size(); ++length) {
        const std::string_view tail = text.substr(text.size() - length);
        if (leadingSpace(tail) == length) {
            return length;
        }
    }
    return 0;
}

} // namespace

std::string trimmed(std::string_view text) {
    while (size_t length = leadingSpace(text)) {
        text.remove_prefix(length);
    }
    while (size_t length = trailingSpace(text)) {
        text.remove_suffix(length);
    }
    return std::string(text);
}

} // namespace merriphonic::ffmpeg
