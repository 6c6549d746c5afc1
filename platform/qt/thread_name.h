#pragma once

#include <string>
#include <string_view>

namespace merriphonic {

// The kernel keeps at most 15 bytes of a thread's name, which would reduce every label of
// subsystem "app.merriphonic" to the same text; the OS name therefore drops that common prefix
// ("app.merriphonic.streams" -> "streams").
std::string osThreadName(std::string_view label);

// Names the calling thread for the OS (top, gdb, perf) after the label.
void setCurrentThreadName(std::string_view label);

// The calling thread's OS name.
std::string currentThreadName();

} // namespace merriphonic
