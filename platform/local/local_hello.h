#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace merriphonic {

// The line a speaker writes first on a channel socket, before any framed bytes, so that the
// host knows which central opened the channel: "MPLOCAL1 <central UUID>\n".
struct LocalHello {
    static constexpr std::string_view prefix = "MPLOCAL1 ";
    // A longer line without its newline is not a hello.
    static constexpr size_t maxLength = 64;

    static std::string line(const std::string& centralId);
    // The central's identifier (canonical) from a line without its newline; nothing when the
    // line is not a hello.
    static std::optional<std::string> parse(std::string_view line);
};

} // namespace merriphonic
