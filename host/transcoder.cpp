#include "host/transcoder.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <system_error>
#include <utility>

namespace merriphonic {

namespace {

constexpr std::array<double, 9> aacRates{8000,  11025, 12000, 16000, 22050,
                                         24000, 32000, 44100, 48000};
constexpr double highRateFamily = 44100;
constexpr double highRateThreshold = 88200;
constexpr double fallbackRate = 44100;

std::string rejectedText(int sampleRate, int channels) {
    return "AAC " + std::to_string(sampleRate) + " Hz × " + std::to_string(channels) +
           " not accepted";
}

} // namespace

std::string Transcoder::Failure::description() const {
    switch (kind) {
    case Kind::setup:
        return "Transcoder setup failed: " + text;
    case Kind::failed:
        return "Transcoding failed: " + text;
    case Kind::noAudioTrack:
        return "No audio track";
    }
    return "Transcoding failed: " + text;
}

double Transcoder::aacSampleRate(double sourceRate) {
    if (std::find(aacRates.begin(), aacRates.end(), sourceRate) != aacRates.end()) {
        return sourceRate;
    }
    if (sourceRate >= highRateThreshold && std::fmod(sourceRate, highRateFamily) == 0) {
        return highRateFamily;
    }
    double chosen = fallbackRate;
    bool found = false;
    for (const double rate : aacRates) {
        if (rate <= sourceRate) {
            chosen = rate;
            found = true;
        }
    }
    return found ? chosen : fallbackRate;
}

int Transcoder::aacBitRate(int preferred, const std::vector<int>& offered) {
    std::vector<int> rates;
    std::copy_if(offered.begin(), offered.end(), std::back_inserter(rates),
                 [](int rate) { return rate > 0; });
    if (rates.empty()) {
        return preferred;
    }
    if (std::find(rates.begin(), rates.end(), preferred) != rates.end()) {
        return preferred;
    }
    std::optional<int> below;
    for (const int rate : rates) {
        if (rate <= preferred && (!below || rate > *below)) {
            below = rate;
        }
    }
    if (below) {
        return *below;
    }
    return *std::min_element(rates.begin(), rates.end());
}

int Transcoder::aacBitRate(MediaToolkit& media, double sampleRate, int channels, int preferred) {
    return aacBitRate(
        preferred, media.offeredAacBitRates(static_cast<int>(std::lround(sampleRate)), channels));
}

Result<Done, Transcoder::Failure>
Transcoder::transcodeNow(MediaToolkit* media, const std::filesystem::path& source,
                         const std::filesystem::path& destination) {
    if (media == nullptr) {
        return Failure::setup("no media support");
    }
    const MediaResult<MediaProbe> probe = media->probe(source);
    if (!probe) {
        if (probe.error().kind == MediaErrorKind::noAudio) {
            return Failure::noAudioTrack();
        }
        return Failure::setup(probe.error().description);
    }
    if (!probe->hasAudio) {
        return Failure::noAudioTrack();
    }
    const double sourceRate = probe->sampleRate > 0 ? probe->sampleRate : fallbackRate;
    const int channels = probe->channels == 1 ? 1 : 2;
    const int sampleRate = static_cast<int>(std::lround(aacSampleRate(sourceRate)));
    const int bitRate = aacBitRate(*media, sampleRate, channels, preferredBitRate);

    std::error_code ignored;
    std::filesystem::remove(destination, ignored);

    const MediaStatus status =
        media->transcodeToAac(source, destination, AacSettings{sampleRate, channels, bitRate});
    if (status) {
        return Done{};
    }
    switch (status.error().kind) {
    case MediaErrorKind::noAudio:
        return Failure::noAudioTrack();
    case MediaErrorKind::formatRejected:
        return Failure::setup(rejectedText(sampleRate, channels));
    case MediaErrorKind::setup:
        return Failure::setup(status.error().description);
    case MediaErrorKind::failed:
        break;
    }
    return Failure::failed(status.error().description);
}

Transcoder::Metadata Transcoder::metadataNow(MediaToolkit* media,
                                             const std::filesystem::path& file) {
    if (media == nullptr) {
        return {};
    }
    MediaTags tags = media->metadata(file);
    return Metadata{std::move(tags.title), std::move(tags.artist), tags.durationMs};
}

} // namespace merriphonic
