#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/heard_timeline.h"
#include "core/result.h"

namespace merriphonic {

// One buffer of media as a sound output played it: a line of a heard log.
struct HeardBuffer {
    int64_t heardNs = 0;     // when its first frame is heard (the device's monotonic clock)
    double mediaFrame = 0.0; // the media frame the player placed there (fractional when trimmed)
    int frames = 0;          // the buffer's length in output frames
    int sampleRate = 0;      // of the output
    int stream = 0;          // counts the starts of this process's outputs, from 1

    bool operator==(const HeardBuffer&) const = default;
};

// The heard log's text: a comment line naming the columns, then one line per buffer, in the
// order heard.
struct HeardLog {
    static constexpr std::string_view header = "# heard_ns media_frame frames rate stream\n";

    static std::string line(const HeardBuffer& buffer);
    // Every buffer of a log; the comment lines are skipped. The reason, with the line number,
    // when the file can't be read or a line is not a buffer.
    static Result<std::vector<HeardBuffer>, std::string> read(const std::filesystem::path& file);
};

// How far a speaker's sound was from the host's: for every buffer the speaker heard at or after
// fromNs, the time it heard the buffer's first media frame minus the time the host heard that
// frame (of the host's hearings the nearest), in ms. Both logs are on one clock: the same
// computer's, or clocks the caller has put on one timeline. Buffers the host never heard are
// left out.
std::vector<double> alignmentErrorsMs(const std::vector<HeardBuffer>& host,
                                      const std::vector<HeardBuffer>& speaker, int64_t fromNs);

// The places, from fromNs on, where the sound did not carry on from the buffer before: the
// output fell behind and skipped, the player ran dry or started over. None in a log of steady
// playback.
int breaksAfter(const std::vector<HeardBuffer>& log, int64_t fromNs);

// When the log first heard media; nothing for a log without any.
std::optional<int64_t> firstHeardNs(const std::vector<HeardBuffer>& log);

} // namespace merriphonic
