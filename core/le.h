#pragma once

#include "core/bytes.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace merriphonic {

// Little-endian integers in byte arrays. Reading or writing outside the array is a
// programming error and aborts rather than touching memory it doesn't own.
struct LE {
    static void append(uint32_t value, Bytes& to) {
        for (int shift = 0; shift < 32; shift += 8) {
            to.push_back(static_cast<uint8_t>(value >> shift));
        }
    }

    static void append(int64_t value, Bytes& to) {
        auto bits = static_cast<uint64_t>(value);
        for (int shift = 0; shift < 64; shift += 8) {
            to.push_back(static_cast<uint8_t>(bits >> shift));
        }
    }

    // Overwrites the 8 bytes at `at`.
    static void write(int64_t value, Bytes& into, std::size_t at) {
        require(into.size(), at, 8);
        auto bits = static_cast<uint64_t>(value);
        for (std::size_t n = 0; n < 8; ++n) {
            into[at + n] = static_cast<uint8_t>(bits >> (8 * n));
        }
    }

    static uint32_t u32(ByteView bytes, std::size_t at) {
        require(bytes.size(), at, 4);
        uint32_t value = 0;
        for (std::size_t n = 0; n < 4; ++n) {
            value |= static_cast<uint32_t>(bytes[at + n]) << (8 * n);
        }
        return value;
    }

    static int64_t i64(ByteView bytes, std::size_t at) {
        require(bytes.size(), at, 8);
        uint64_t bits = 0;
        for (std::size_t n = 0; n < 8; ++n) {
            bits |= static_cast<uint64_t>(bytes[at + n]) << (8 * n);
        }
        return static_cast<int64_t>(bits);
    }

private:
    static void require(std::size_t size, std::size_t at, std::size_t width) {
        if (at > size || size - at < width) {
            std::abort();
        }
    }
};

} // namespace merriphonic
