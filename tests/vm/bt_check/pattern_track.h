#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/bytes.h"
#include "core/hex.h"
#include "core/sha256.h"
#include "core/track_key.h"

namespace merriphonic {

// The "song" the transfer check sends: reproducible pseudo-random bytes (so that a dropped,
// repeated or reordered chunk changes the digest), with their SHA-256 and track key.
struct PatternTrack {
    Bytes data;
    Sha256::Digest digest{};
    TrackKey key;

    static PatternTrack make(size_t size, uint64_t seed);
    [[nodiscard]] std::string digestHex() const { return toHex(digest); }
};

} // namespace merriphonic
