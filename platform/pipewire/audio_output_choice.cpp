#include "platform/pipewire/audio_output_choice.h"

#include <charconv>

#include "platform/null_audio_output.h"
#include "platform/pipewire/pipewire_audio_output.h"

namespace merriphonic {

namespace {
constexpr std::string_view nullWithPeriod = "null:";
constexpr int minPeriod = 16;
constexpr int maxPeriod = 8192;
} // namespace

std::unique_ptr<AudioOutputFactory> audioOutputFactoryFor(std::string_view setting) {
    if (setting == "null") {
        return std::make_unique<NullAudioOutputFactory>();
    }
    // "null:<frames>": the silent output with its own period, for machines where waking 172
    // times a second is costly (an emulated CPU).
    if (setting.starts_with(nullWithPeriod)) {
        int frames = 0;
        const std::string_view digits = setting.substr(nullWithPeriod.size());
        const auto [end, error] =
            std::from_chars(digits.data(), digits.data() + digits.size(), frames);
        const bool valid = error == std::errc() && end == digits.data() + digits.size() &&
                           frames >= minPeriod && frames <= maxPeriod;
        return std::make_unique<NullAudioOutputFactory>(
            valid ? frames : NullAudioOutput::defaultPeriodFrames);
    }
    return std::make_unique<PipeWireAudioOutputFactory>();
}

} // namespace merriphonic
