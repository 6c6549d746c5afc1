#include "platform/ffmpeg/ffmpeg_media_toolkit.h"

#include <algorithm>
#include <optional>
#include <string>

#include "core/time_units.h"
#include "platform/ffmpeg/ffmpeg_aac_transcode.h"
#include "platform/ffmpeg/ffmpeg_audio_file_reader.h"
#include "platform/ffmpeg/ffmpeg_support.h"

namespace merriphonic {

namespace {

// A tag of the file, or else of its audio stream (where Ogg and some others keep theirs).
std::optional<std::string> tag(const AVFormatContext* input, const AVStream* stream,
                               const char* key) {
    const AVDictionaryEntry* entry = av_dict_get(input->metadata, key, nullptr, 0);
    if (entry == nullptr && stream != nullptr) {
        entry = av_dict_get(stream->metadata, key, nullptr, 0);
    }
    if (entry == nullptr || entry->value == nullptr) {
        return std::nullopt;
    }
    return ffmpeg::trimmed(entry->value);
}

} // namespace

FfmpegMediaToolkit::FfmpegMediaToolkit() {
    ffmpeg::quietLibraryLog();
}

MediaResult<std::unique_ptr<AudioFileReader>>
FfmpegMediaToolkit::openReader(const std::filesystem::path& path) {
    auto reader = FfmpegAudioFileReader::open(path);
    if (!reader) {
        return reader.error();
    }
    return std::unique_ptr<AudioFileReader>(std::move(reader).value());
}

MediaResult<MediaProbe> FfmpegMediaToolkit::probe(const std::filesystem::path& path) {
    auto input = ffmpeg::openInput(path);
    if (!input) {
        if (input.error().kind == MediaErrorKind::noAudio) {
            return MediaProbe{};
        }
        return input.error();
    }
    const int index = ffmpeg::findAudioStream(input->get());
    if (index < 0) {
        return MediaProbe{};
    }
    const AVCodecParameters* parameters = (*input)->streams[index]->codecpar;
    return MediaProbe{true, std::max(parameters->sample_rate, 0),
                      std::max(parameters->ch_layout.nb_channels, 0)};
}

MediaStatus FfmpegMediaToolkit::transcodeToAac(const std::filesystem::path& source,
                                               const std::filesystem::path& destination,
                                               const AacSettings& settings) {
    return FfmpegAacTranscode(source, destination, settings).run();
}

MediaTags FfmpegMediaToolkit::metadata(const std::filesystem::path& path) {
    MediaTags tags;
    auto input = ffmpeg::openInput(path);
    if (!input) {
        return tags;
    }
    const AVFormatContext* format = input->get();
    const int index = ffmpeg::findAudioStream(input->get());
    const AVStream* stream = index >= 0 ? format->streams[index] : nullptr;
    tags.title = tag(format, stream, "title");
    tags.artist = tag(format, stream, "artist");

    if (auto reader = FfmpegAudioFileReader::open(path); reader && (*reader)->sampleRate() > 0) {
        tags.durationMs = (*reader)->lengthFrames() * msPerSecond / (*reader)->sampleRate();
    } else if (format->duration != AV_NOPTS_VALUE && format->duration > 0) {
        tags.durationMs = format->duration * msPerSecond / AV_TIME_BASE;
    }
    return tags;
}

std::vector<int> FfmpegMediaToolkit::offeredAacBitRates(int sampleRate, int channels) {
    return FfmpegAacTranscode::offeredBitRates(sampleRate, channels);
}

} // namespace merriphonic
