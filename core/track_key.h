#pragma once

#include "core/bytes.h"

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace merriphonic {

// Identifies a track file by its content: the first 8 bytes of the file's SHA-256.
// Its canonical text form is 16 lower-case hexadecimal digits.
struct TrackKey {
    static constexpr std::size_t size = 8;

    std::array<uint8_t, size> bytes{};

    // Exactly 8 bytes, else nothing.
    static std::optional<TrackKey> fromBytes(ByteView bytes);
    // Exactly 16 hexadecimal digits of either case, else nothing.
    static std::optional<TrackKey> fromHex(std::string_view text);
    // Validates a key text and returns it in canonical (lower-case) form.
    static std::optional<std::string> normalize(std::string_view text);

    static TrackKey of(ByteView data);
    // Hashes a file's content incrementally, 1 MiB at a time. Throws std::system_error
    // (what() names the file and the OS error) when the file can't be opened or read.
    static TrackKey of(const std::filesystem::path& file);
    // Texts would silently convert to a path and hash a file of that name; hash text
    // content through a ByteView, or pass a std::filesystem::path.
    static TrackKey of(const char*) = delete;
    static TrackKey of(const std::string&) = delete;
    static TrackKey of(std::string_view) = delete;

    std::string hex() const;

    bool operator==(const TrackKey&) const = default;
    auto operator<=>(const TrackKey&) const = default;
};

} // namespace merriphonic

template <>
struct std::hash<merriphonic::TrackKey> {
    std::size_t operator()(const merriphonic::TrackKey& key) const noexcept {
        // The key is already a digest prefix, so its bytes are evenly spread.
        uint64_t value = 0;
        for (uint8_t byte : key.bytes) {
            value = (value << 8) | byte;
        }
        return std::hash<uint64_t>{}(value);
    }
};
