#pragma once

#include <array>
#include <optional>
#include <string_view>

// GNU dialects predefine `linux` as 1, which would turn the enumerator below into a number.
#ifdef linux
#undef linux
#endif

namespace merriphonic {

// The operating system a peer runs on, as sent in HELLO and in the host's info record.
// Peers accept any text here; these are the values this build knows.
enum class Platform { ios, macos, android, linux };

inline constexpr std::array<Platform, 4> allPlatforms{Platform::ios, Platform::macos,
                                                      Platform::android, Platform::linux};

// The platform this build runs on.
inline constexpr Platform currentPlatform = Platform::linux;

constexpr std::string_view rawValue(Platform platform) {
    switch (platform) {
    case Platform::ios:
        return "ios";
    case Platform::macos:
        return "macos";
    case Platform::android:
        return "android";
    case Platform::linux:
        return "linux";
    }
    return "";
}

constexpr std::optional<Platform> platformFromRaw(std::string_view raw) {
    for (Platform platform : allPlatforms) {
        if (rawValue(platform) == raw) {
            return platform;
        }
    }
    return std::nullopt;
}

} // namespace merriphonic
