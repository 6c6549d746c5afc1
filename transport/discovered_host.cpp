#include "transport/discovered_host.h"

#include <array>
#include <utility>

#include "core/text_limits.h"
#include "platform/radio.h"

namespace merriphonic {

namespace {

// UTF-8 encodings of the non-ASCII white space and line-break characters (U+0085, U+00A0,
// U+1680, U+2000...U+200A, U+2028, U+2029, U+202F, U+205F, U+3000).
constexpr std::array<std::string_view, 19> wideSpaces{
    "\xC2\x85",     "\xC2\xA0",     "\xE1\x9A\x80", "\xE2\x80\x80", "\xE2\x80\x81",
    "\xE2\x80\x82", "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85", "\xE2\x80\x86",
    "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89", "\xE2\x80\x8A", "\xE2\x80\xA8",
    "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80",
};

bool isAsciiSpace(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// The length of the white space at the front (or back) of the text, 0 if there is none.
size_t spaceAtFront(std::string_view text) {
    if (!text.empty() && isAsciiSpace(text.front())) {
        return 1;
    }
    for (std::string_view space : wideSpaces) {
        if (text.starts_with(space)) {
            return space.size();
        }
    }
    return 0;
}

size_t spaceAtBack(std::string_view text) {
    if (!text.empty() && isAsciiSpace(text.back())) {
        return 1;
    }
    for (std::string_view space : wideSpaces) {
        if (text.ends_with(space)) {
            return space.size();
        }
    }
    return 0;
}

} // namespace

std::string DiscoveredHost::displayName(const std::optional<std::string>& localName) {
    if (!localName) {
        return std::string(defaultName);
    }
    std::string_view text = *localName;
    while (const size_t n = spaceAtFront(text)) {
        text.remove_prefix(n);
    }
    // A name from the air is shown and kept: as long as a party's name may be, no longer.
    const std::string bounded = TextLimits::cut(text, TextLimits::maxNameBytes);
    text = bounded;
    while (const size_t n = spaceAtBack(text)) {
        text.remove_suffix(n);
    }
    return text.empty() ? std::string(defaultName) : std::string(text);
}

DiscoveredHost DiscoveredHost::from(std::string id, const std::optional<std::string>& localName,
                                    int rssi, int64_t seenNs) {
    return DiscoveredHost{std::move(id), displayName(localName),
                          rssi == rssiUnavailable ? unknownRssi : rssi, seenNs};
}

} // namespace merriphonic
