#include "platform/pipewire/audio_output_choice.h"

#include "platform/null_audio_output.h"
#include "platform/pipewire/pipewire_audio_output.h"

namespace merriphonic {

std::unique_ptr<AudioOutputFactory> audioOutputFactoryFor(std::string_view setting) {
    if (setting == "null") {
        return std::make_unique<NullAudioOutputFactory>();
    }
    return std::make_unique<PipeWireAudioOutputFactory>();
}

} // namespace merriphonic
