#include "core/text_limits.h"

#include "core/message.h"
#include "core/utf8.h"

#include <optional>
#include <type_traits>
#include <variant>

namespace merriphonic {

namespace {

void cutInPlace(std::string& text, size_t maxBytes) {
    if (text.size() > maxBytes) {
        text = TextLimits::cut(text, maxBytes);
    }
}

void cutInPlace(std::optional<std::string>& text, size_t maxBytes) {
    if (text) {
        cutInPlace(*text, maxBytes);
    }
}

} // namespace

std::string TextLimits::cut(std::string_view text, size_t maxBytes) {
    size_t end = 0;
    while (end < text.size()) {
        const size_t next = end + utf8::sequenceAt(text, end).length;
        if (next > maxBytes) {
            break;
        }
        end = next;
    }
    return std::string(text.substr(0, end));
}

void TextLimits::apply(Message& message) {
    constexpr size_t name = maxNameBytes;
    constexpr size_t tag = maxTagBytes;
    constexpr size_t token = maxTokenBytes;
    if (auto* hello = message.as<Hello>()) {
        cutInPlace(hello->id, token);
        cutInPlace(hello->name, name);
        cutInPlace(hello->platform, token);
    } else if (auto* welcome = message.as<Welcome>()) {
        cutInPlace(welcome->hostId, token);
        cutInPlace(welcome->name, name);
    } else if (auto* offer = message.as<TrackOffer>()) {
        cutInPlace(offer->trackKey, token);
        cutInPlace(offer->title, tag);
        cutInPlace(offer->artist, tag);
        cutInPlace(offer->ext, token);
    } else if (auto* have = message.as<TrackHave>()) {
        cutInPlace(have->trackKey, token);
    } else if (auto* play = message.as<Play>()) {
        cutInPlace(play->trackKey, token);
    } else if (auto* pause = message.as<Pause>()) {
        cutInPlace(pause->trackKey, token);
    } else if (auto* status = message.as<Status>()) {
        cutInPlace(status->state, token);
        cutInPlace(status->trackKey, token);
    }
}

} // namespace merriphonic
