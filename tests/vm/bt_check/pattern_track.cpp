#include "tests/vm/bt_check/pattern_track.h"

#include <algorithm>

namespace merriphonic {

PatternTrack PatternTrack::make(size_t size, uint64_t seed) {
    PatternTrack track;
    track.data.resize(size);
    // xorshift64*: cheap, and no run of bytes repeats within a track.
    uint64_t state = seed == 0 ? 0x9E3779B97F4A7C15ULL : seed;
    for (size_t i = 0; i < size; i += 8) {
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        uint64_t word = state * 0x2545F4914F6CDD1DULL;
        const size_t count = std::min<size_t>(8, size - i);
        for (size_t b = 0; b < count; ++b) {
            track.data[i + b] = static_cast<uint8_t>(word);
            word >>= 8;
        }
    }
    track.digest = Sha256::of(track.data);
    track.key = TrackKey::of(ByteView(track.data));
    return track;
}

} // namespace merriphonic
