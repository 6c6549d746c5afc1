#include "platform/ffmpeg/ffmpeg_audio_file_reader.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

#include "platform/ffmpeg/ffmpeg_support.h"

namespace merriphonic {

using ffmpeg::errorText;
using ffmpeg::makeError;

namespace {

enum class Step { frame, end, error };

// Lossy decoders carry state from frame to frame (transform overlap, bit reservoir, band
// history). Decoding this many codec frames before a seek target makes the samples at the
// target identical to those of a decode from the start.
constexpr int64_t prerollCodecFrames = 8;
constexpr int64_t minimumCodecFrame = 2048;
// Seeks that find the stream starting later than this fraction of the preroll before the target
// are retried from further back.
constexpr int64_t prerollSlackDivisor = 2;
constexpr int seekAttempts = 4;
constexpr int64_t seekBackoffFactor = 4;

bool isContainerLengthExact(const AVFormatContext* input, const AVStream* stream) {
    if (stream->duration == AV_NOPTS_VALUE || stream->duration <= 0) {
        return false;
    }
    const AVCodecID codec = stream->codecpar->codec_id;
    // Uncompressed audio: the length follows from the data size.
    if (av_get_exact_bits_per_sample(codec) > 0) {
        return true;
    }
    const std::string_view format = input->iformat->name;
    // FLAC declares its sample count; MPEG-4 its sample table and edit list.
    return (codec == AV_CODEC_ID_FLAC && format == "flac") ||
           format.find("mp4") != std::string_view::npos;
}

} // namespace

struct FfmpegAudioFileReader::State {
    ffmpeg::InputPtr input;
    ffmpeg::CodecPtr decoder;
    ffmpeg::PacketPtr packet{av_packet_alloc()};
    ffmpeg::FramePtr frame{av_frame_alloc()};
    ffmpeg::ResamplerPtr converter;
    ffmpeg::ChannelLayout converterLayout;
    int converterFormat = AV_SAMPLE_FMT_NONE;
    int converterRate = 0;

    ffmpeg::ChannelLayout layout;
    int streamIndex = -1;
    AVRational timeBase{1, 1};
    int rate = 0;
    int channelCount = 0;
    int64_t length = 0;
    bool originKnown = false;
    int64_t originTs = 0;                   // stream timestamp of frame 0
    int64_t firstPacketTs = AV_NOPTS_VALUE; // where a seek to the very start goes
    int64_t lastChunkTs = AV_NOPTS_VALUE;   // first packet of the file's last stored chunk
    int64_t prerollFrames = 0;
    int64_t tolerance = 1; // timestamp resolution in frames

    int64_t position = 0;
    std::vector<float> pending; // the last decoded frame, interleaved
    int64_t pendingStart = 0;   // its position
    int64_t pendingFrames = 0;
    int64_t lastFrameTs = AV_NOPTS_VALUE;
    int64_t expectedNext = 0;
    bool haveExpected = false;
    bool draining = false;
    bool atEnd = false;
    bool failed = false;
    std::string error;

    [[nodiscard]] int64_t toFrames(int64_t ts) const {
        return av_rescale_q_rnd(ts - originTs, timeBase, AVRational{1, rate}, AV_ROUND_NEAR_INF);
    }
    [[nodiscard]] int64_t toTs(int64_t frames) const {
        return originTs +
               av_rescale_q_rnd(frames, AVRational{1, rate}, timeBase, AV_ROUND_NEAR_INF);
    }

    Step fail(std::string text) {
        error = std::move(text);
        failed = true;
        return Step::error;
    }

    bool configureConverter(const AVFrame* decoded) {
        const ffmpeg::ChannelLayout inputLayout = ffmpeg::ChannelLayout::usable(decoded->ch_layout);
        if (rate == 0) {
            rate = decoded->sample_rate;
            layout = inputLayout;
            channelCount = layout.channels();
        }
        if (converter && converterFormat == decoded->format &&
            converterRate == decoded->sample_rate && converterLayout == inputLayout) {
            return true;
        }
        const int result = ffmpeg::makeResampler(
            converter, layout, AV_SAMPLE_FMT_FLT, rate, inputLayout,
            static_cast<AVSampleFormat>(decoded->format), decoded->sample_rate);
        if (result < 0) {
            fail("sample conversion failed: " + errorText(result));
            return false;
        }
        converterFormat = decoded->format;
        converterRate = decoded->sample_rate;
        converterLayout = inputLayout;
        return true;
    }

    // Converts a decoded frame into `pending` and gives it its place on the timeline.
    Step place(const AVFrame* decoded) {
        if (decoded->sample_rate <= 0 || decoded->ch_layout.nb_channels <= 0) {
            return fail("decoder produced no usable format");
        }
        if (!configureConverter(decoded)) {
            return Step::error;
        }
        const int capacity = swr_get_out_samples(converter.get(), decoded->nb_samples);
        if (capacity < 0) {
            return fail("sample conversion failed: " + errorText(capacity));
        }
        pending.resize(static_cast<size_t>(capacity) * static_cast<size_t>(channelCount));
        auto* out = reinterpret_cast<uint8_t*>(pending.data());
        const int produced =
            swr_convert(converter.get(), &out, capacity,
                        const_cast<const uint8_t**>(decoded->extended_data), decoded->nb_samples);
        if (produced < 0) {
            return fail("sample conversion failed: " + errorText(produced));
        }
        lastFrameTs =
            decoded->pts != AV_NOPTS_VALUE ? decoded->pts : decoded->best_effort_timestamp;
        int64_t start = expectedNext;
        if (originKnown && lastFrameTs != AV_NOPTS_VALUE) {
            start = toFrames(lastFrameTs);
            // Timestamps coarser than a frame jitter around the true position; frames that
            // follow each other stay contiguous.
            if (haveExpected && std::abs(start - expectedNext) <= tolerance) {
                start = expectedNext;
            }
        }
        pendingStart = start;
        pendingFrames = produced;
        expectedNext = start + produced;
        haveExpected = true;
        return Step::frame;
    }

    Step decodeNext() {
        for (;;) {
            int result = avcodec_receive_frame(decoder.get(), frame.get());
            if (result == 0) {
                const Step step = place(frame.get());
                av_frame_unref(frame.get());
                if (step == Step::frame && pendingFrames == 0) {
                    continue;
                }
                return step;
            }
            if (result == AVERROR_EOF) {
                return Step::end;
            }
            if (result == AVERROR_INVALIDDATA) {
                continue; // a damaged packet: it is dropped, the stream goes on
            }
            if (result != AVERROR(EAGAIN)) {
                return fail("decoding failed: " + errorText(result));
            }
            if (draining) {
                return Step::end;
            }
            result = av_read_frame(input.get(), packet.get());
            if (result < 0) {
                // A damaged or cut-off container ends the audio where it breaks.
                if (result != AVERROR_EOF && result != AVERROR_INVALIDDATA) {
                    return fail("reading failed: " + errorText(result));
                }
                draining = true;
                avcodec_send_packet(decoder.get(), nullptr);
                continue;
            }
            if (packet->stream_index != streamIndex) {
                av_packet_unref(packet.get());
                continue;
            }
            if (firstPacketTs == AV_NOPTS_VALUE) {
                firstPacketTs = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
            }
            result = avcodec_send_packet(decoder.get(), packet.get());
            av_packet_unref(packet.get());
            if (result < 0 && result != AVERROR_INVALIDDATA && result != AVERROR(EAGAIN)) {
                return fail("decoding failed: " + errorText(result));
            }
        }
    }

    // Forgets decoded state after a seek. From the very start the decoder is made anew, so
    // that frame 0 onwards decode exactly as on opening (a flushed AAC decoder keeps its noise
    // generator running, for one).
    bool resetDecoding(bool fromStart) {
        if (fromStart) {
            auto fresh = ffmpeg::openDecoder(input->streams[streamIndex]);
            if (!fresh) {
                fail(fresh.error().description);
                return false;
            }
            decoder = std::move(fresh).value();
        } else {
            avcodec_flush_buffers(decoder.get());
        }
        converter.reset();
        pendingFrames = 0;
        haveExpected = false;
        draining = false;
        atEnd = false;
        failed = false;
        return true;
    }

    bool seekStream(int64_t ts) {
        // Landing in the last chunk of the file (an Ogg page, say) gives its packets timestamps
        // counted back from the trimmed end, not forward from the start: land before it and
        // decode through it instead.
        if (lastChunkTs != AV_NOPTS_VALUE && ts >= lastChunkTs && ts > firstPacketTs) {
            ts = std::max(firstPacketTs, lastChunkTs - 1);
        }
        int result = avformat_seek_file(input.get(), streamIndex,
                                        std::numeric_limits<int64_t>::min(), ts, ts, 0);
        if (result < 0) {
            result = av_seek_frame(input.get(), streamIndex, ts, AVSEEK_FLAG_BACKWARD);
        }
        if (result < 0) {
            error = "seek failed: " + errorText(result);
            return false;
        }
        return true;
    }

    // Reads every packet once (no decoding) to learn where the audio roughly ends. Reading
    // also fills the demuxer's seek index, which makes later seeks exact in formats without
    // one of their own. Returns a stream timestamp, or AV_NOPTS_VALUE.
    int64_t scanEnd() {
        int64_t end = AV_NOPTS_VALUE;
        int64_t chunkPos = -1;
        while (av_read_frame(input.get(), packet.get()) >= 0) {
            if (packet->stream_index == streamIndex) {
                const int64_t ts = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
                if (firstPacketTs == AV_NOPTS_VALUE) {
                    firstPacketTs = ts;
                }
                if (packet->pos != chunkPos) {
                    chunkPos = packet->pos;
                    lastChunkTs = ts;
                }
                if (ts != AV_NOPTS_VALUE) {
                    const int64_t packetEnd = ts + std::max<int64_t>(packet->duration, 0);
                    end = end == AV_NOPTS_VALUE ? packetEnd : std::max(end, packetEnd);
                }
            }
            av_packet_unref(packet.get());
        }
        return end;
    }

    // Decodes from `from` (a frame position; at or below 0 the very start) to the end of the
    // data and returns the end of the last frame: the decoder has then applied the padding the
    // file declares, which demuxers describe inconsistently. -1 when nothing decoded.
    int64_t decodedEndFrom(int64_t from) {
        if (!seekStream(from > 0 ? toTs(from) : firstPacketTs)) {
            return -1;
        }
        if (!resetDecoding(false)) {
            return -1;
        }
        expectedNext = std::max<int64_t>(from, 0);
        int64_t end = -1;
        for (;;) {
            const Step step = decodeNext();
            if (step == Step::frame) {
                end = std::max(end, pendingStart + pendingFrames);
            } else if (step == Step::error) {
                return -1;
            } else {
                return end;
            }
        }
    }

    // Sets the length to where decoding ends, looking near roughEndTs first, and goes back to
    // frame 0.
    bool measureLength(int64_t roughEndTs) {
        int64_t end = -1;
        if (roughEndTs != AV_NOPTS_VALUE) {
            end = decodedEndFrom(toFrames(roughEndTs) - 4 * prerollFrames - minimumCodecFrame);
        }
        if (end <= 0 && !failed) {
            end = decodedEndFrom(0);
        }
        if (failed) {
            return false;
        }
        length = std::max<int64_t>(end, 0);
        // Back to frame 0.
        if (!seekStream(firstPacketTs)) {
            return false;
        }
        if (!resetDecoding(true)) {
            return false;
        }
        expectedNext = 0;
        return true;
    }
};

MediaResult<std::unique_ptr<FfmpegAudioFileReader>>
FfmpegAudioFileReader::open(const std::filesystem::path& path) {
    auto state = std::make_unique<State>();
    if (!state->packet || !state->frame) {
        return makeError(MediaErrorKind::setup, errorText(AVERROR(ENOMEM)));
    }
    auto input = ffmpeg::openInput(path);
    if (!input) {
        return input.error();
    }
    state->input = std::move(input).value();
    AVFormatContext* format = state->input.get();
    state->streamIndex = ffmpeg::findAudioStream(format);
    if (state->streamIndex < 0) {
        return makeError(MediaErrorKind::noAudio, "No audio track");
    }
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        if (static_cast<int>(i) != state->streamIndex) {
            format->streams[i]->discard = AVDISCARD_ALL;
        }
    }
    AVStream* stream = format->streams[state->streamIndex];
    auto decoder = ffmpeg::openDecoder(stream);
    if (!decoder) {
        return decoder.error();
    }
    state->decoder = std::move(decoder).value();
    state->timeBase = stream->time_base;

    const AVCodecDescriptor* descriptor = avcodec_descriptor_get(stream->codecpar->codec_id);
    const bool lossless =
        descriptor != nullptr && (descriptor->props & AV_CODEC_PROP_LOSSLESS) != 0;
    if (!lossless) {
        state->prerollFrames =
            prerollCodecFrames * std::max<int64_t>(stream->codecpar->frame_size, minimumCodecFrame);
        if (stream->codecpar->seek_preroll > 0) {
            state->prerollFrames =
                std::max<int64_t>(state->prerollFrames, 2 * stream->codecpar->seek_preroll);
        }
    }

    const bool exact = isContainerLengthExact(format, stream);
    int64_t roughEndTs = AV_NOPTS_VALUE;
    if (!exact) {
        roughEndTs = state->scanEnd();
        if (state->firstPacketTs != AV_NOPTS_VALUE && !state->seekStream(state->firstPacketTs)) {
            return makeError(MediaErrorKind::setup, state->error);
        }
        avcodec_flush_buffers(state->decoder.get());
    }

    // The first frame the decoder delivers is frame 0: encoder delay has already been dropped.
    const Step first = state->decodeNext();
    if (first == Step::error) {
        return makeError(MediaErrorKind::setup, state->error);
    }
    if (first == Step::end) {
        return makeError(MediaErrorKind::noAudio, "No audio track");
    }
    state->originTs = state->lastFrameTs != AV_NOPTS_VALUE     ? state->lastFrameTs
                      : state->firstPacketTs != AV_NOPTS_VALUE ? state->firstPacketTs
                                                               : 0;
    state->originKnown = true;
    state->pendingStart = 0;
    state->expectedNext = state->pendingFrames;
    if (state->firstPacketTs == AV_NOPTS_VALUE) {
        state->firstPacketTs = state->originTs;
    }
    const AVRational frameBase{1, state->rate};
    state->tolerance =
        std::max<int64_t>(1, av_rescale_q_rnd(1, state->timeBase, frameBase, AV_ROUND_UP));

    // Where the container states the length, it also covers padding the decoder does not
    // trim (MPEG-4 edit lists); decoding the last stretch still catches a cut-off file, whose
    // stated length would otherwise promise audio that is not there.
    int64_t stated = -1;
    if (exact) {
        stated = std::max<int64_t>(av_rescale_q(stream->duration, state->timeBase, frameBase), 0);
        roughEndTs = state->toTs(stated);
    }
    if (!state->measureLength(roughEndTs)) {
        return makeError(MediaErrorKind::setup, state->error);
    }
    if (stated >= 0) {
        state->length = std::min(state->length, stated);
    }

    return std::unique_ptr<FfmpegAudioFileReader>(new FfmpegAudioFileReader(std::move(state)));
}

FfmpegAudioFileReader::FfmpegAudioFileReader(std::unique_ptr<State> state)
    : state_(std::move(state)) {}

FfmpegAudioFileReader::~FfmpegAudioFileReader() = default;

int FfmpegAudioFileReader::sampleRate() const {
    return state_->rate;
}

int FfmpegAudioFileReader::channels() const {
    return state_->channelCount;
}

int64_t FfmpegAudioFileReader::lengthFrames() const {
    return state_->length;
}

int64_t FfmpegAudioFileReader::positionFrames() const {
    return state_->position;
}

const AVChannelLayout& FfmpegAudioFileReader::channelLayout() const {
    return state_->layout.get();
}

std::string FfmpegAudioFileReader::lastError() const {
    return state_->error;
}

MediaStatus FfmpegAudioFileReader::seek(int64_t frame) {
    State& s = *state_;
    const int64_t target = std::clamp<int64_t>(frame, 0, s.length);
    if (target == s.position && !s.failed) {
        return Done{};
    }
    // A short hop forward is decoded through: as cheap as a jump, and the decoder stays in step.
    if (target > s.position && target - s.position <= 2 * s.prerollFrames && !s.failed) {
        s.position = target;
        return Done{};
    }
    int64_t backoff = s.prerollFrames;
    for (int attempt = 0; attempt < seekAttempts; ++attempt) {
        const int64_t startFrame = target - backoff;
        const bool fromStart = startFrame <= 0 || attempt == seekAttempts - 1;
        backoff = std::max(backoff * seekBackoffFactor, minimumCodecFrame);
        if (!s.seekStream(fromStart ? s.firstPacketTs : s.toTs(startFrame))) {
            if (fromStart) {
                s.failed = true;
                return makeError(MediaErrorKind::failed, s.error);
            }
            continue; // some demuxers cannot seek close to the end: try further back
        }
        if (!s.resetDecoding(fromStart)) {
            return makeError(MediaErrorKind::failed, s.error);
        }
        s.expectedNext = fromStart ? 0 : startFrame;
        s.position = target;
        if (fromStart) {
            return Done{};
        }
        const Step step = s.decodeNext();
        if (step == Step::error) {
            return makeError(MediaErrorKind::failed, s.error);
        }
        if (step == Step::frame &&
            s.pendingStart <= target - s.prerollFrames / prerollSlackDivisor) {
            return Done{};
        }
        // The container landed too late (or past the end): go further back.
    }
    return Done{};
}

int64_t FfmpegAudioFileReader::read(float* interleaved, int64_t frames) {
    State& s = *state_;
    if (s.failed) {
        return -1;
    }
    const auto channels = static_cast<size_t>(s.channelCount);
    int64_t produced = 0;
    while (produced < frames && s.position < s.length) {
        const int64_t wanted = std::min(frames - produced, s.length - s.position);
        float* out = interleaved + static_cast<size_t>(produced) * channels;
        if (s.pendingFrames > 0 && s.pendingStart + s.pendingFrames > s.position) {
            int64_t count = 0;
            if (s.pendingStart > s.position) {
                // A hole in the stream's timeline is silence.
                count = std::min(wanted, s.pendingStart - s.position);
                std::fill_n(out, static_cast<size_t>(count) * channels, 0.0F);
            } else {
                const int64_t offset = s.position - s.pendingStart;
                count = std::min(wanted, s.pendingFrames - offset);
                std::memcpy(out, s.pending.data() + static_cast<size_t>(offset) * channels,
                            static_cast<size_t>(count) * channels * sizeof(float));
            }
            produced += count;
            s.position += count;
            continue;
        }
        s.pendingFrames = 0;
        if (s.atEnd) {
            // The data stopped short of the declared length (a cut-off file).
            std::fill_n(out, static_cast<size_t>(wanted) * channels, 0.0F);
            produced += wanted;
            s.position += wanted;
            continue;
        }
        const Step step = s.decodeNext();
        if (step == Step::end) {
            s.atEnd = true;
        } else if (step == Step::error) {
            return produced > 0 ? produced : -1;
        }
    }
    return produced;
}

} // namespace merriphonic
