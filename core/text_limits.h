#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace merriphonic {

class Message;

// How long the texts of a message may be, in UTF-8 bytes. Both roles cut what they send and what
// they receive to these, at whole characters, so that no message built from a song's tags or a
// person's name comes anywhere near the frame limit, and a peer's texts cost little memory.
struct TextLimits {
    // Display names: a speaker's name (HELLO), the party's name (WELCOME and the screens).
    static constexpr size_t maxNameBytes = 256;
    // A song's title and artist (TRACK_OFFER).
    static constexpr size_t maxTagBytes = 512;
    // Identifiers, platforms, track keys, extensions and states: short by nature.
    static constexpr size_t maxTokenBytes = 128;

    // The longest prefix of text that ends on a character boundary and has at most maxBytes
    // bytes. An ill-formed sequence counts as one character.
    static std::string cut(std::string_view text, size_t maxBytes);
    // Cuts every text field of the message to its limit; other fields are left alone.
    static void apply(Message& message);
};

} // namespace merriphonic
