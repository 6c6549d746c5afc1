#pragma once

#include <memory>
#include <string_view>

#include "platform/audio_output.h"

namespace merriphonic {

// The developer switch that picks the real sound output: MERRIPHONIC_AUDIO=null gives the
// silent real-time output (machines without sound), anything else PipeWire.
inline constexpr const char* audioOutputVariable = "MERRIPHONIC_AUDIO";

// The factory for a value of that variable (empty when it is not set).
std::unique_ptr<AudioOutputFactory> audioOutputFactoryFor(std::string_view setting);

} // namespace merriphonic
