#include "host/speaker_link.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "core/track_key.h"

namespace merriphonic {

Chip Chip::of(const std::optional<Status>& status, bool joined) {
    if (!joined || !status) {
        return {"Connecting", ChipKind::connecting};
    }
    const std::optional<SpeakerState> state = status->speakerState();
    if (!state) {
        // A state this host does not know: shown as the speaker names it, each word
        // capitalised.
        std::string text = status->state;
        bool wordStart = true;
        for (char& c : text) {
            const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
            if (letter) {
                const bool upper = c >= 'A' && c <= 'Z';
                if (wordStart && !upper) {
                    c = static_cast<char>(c - 'a' + 'A');
                } else if (!wordStart && upper) {
                    c = static_cast<char>(c - 'A' + 'a');
                }
            }
            wordStart = c == ' ' || c == '\t' || c == '\n' || c == '-';
        }
        return {text, ChipKind::idle};
    }
    switch (*state) {
    case SpeakerState::syncing:
        return {"Syncing clock", ChipKind::syncing};
    case SpeakerState::idle:
        return {"Idle", ChipKind::idle};
    case SpeakerState::loading: {
        double percent = 0.0;
        if (status->size >= 1) {
            percent = std::floor(static_cast<double>(status->bytes) /
                                 static_cast<double>(status->size) * 100.0);
        }
        // Clamped before the conversion: a peer may report any byte count.
        const int shown = static_cast<int>(std::clamp(percent, 0.0, 100.0));
        return {"Loading " + std::to_string(shown) + "%", ChipKind::loading};
    }
    case SpeakerState::ready:
        return {"Ready", ChipKind::ready};
    case SpeakerState::playing:
        return {"Playing", ChipKind::playing};
    case SpeakerState::paused:
        return {"Paused", ChipKind::paused};
    }
    return {"Connecting", ChipKind::connecting};
}

bool SpeakerLink::isPlayingOrPaused(const std::string& key) const {
    if (!status || !status->trackKey) {
        return false;
    }
    const std::optional<std::string> statusKey = TrackKey::normalize(*status->trackKey);
    const std::optional<SpeakerState> state = status->speakerState();
    return statusKey == key && (state == SpeakerState::playing || state == SpeakerState::paused);
}

} // namespace merriphonic
