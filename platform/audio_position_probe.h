#pragma once

#include <optional>

namespace merriphonic {

// A renderer that can say which media frame it placed at the first frame of the buffer it
// rendered last. An output that wants to know what it is playing (the virtual sound card, to
// measure alignment) asks right after each render call, on the render thread.
class AudioPositionProbe {
public:
    // The media frame (fractional while the rate is trimmed) at the first frame of the last
    // rendered buffer; nullopt when that buffer held no media.
    [[nodiscard]] virtual std::optional<double> mediaFrameAtLastBuffer() const noexcept = 0;

protected:
    AudioPositionProbe() = default;
    ~AudioPositionProbe() = default;
    AudioPositionProbe(const AudioPositionProbe&) = default;
    AudioPositionProbe& operator=(const AudioPositionProbe&) = default;
};

} // namespace merriphonic
