#pragma once

#include <array>
#include <optional>
#include <string_view>

namespace merriphonic {

// What a speaker reports about itself in STATUS.
enum class SpeakerState { syncing, idle, loading, ready, playing, paused };

inline constexpr std::array<SpeakerState, 6> allSpeakerStates{
    SpeakerState::syncing, SpeakerState::idle,    SpeakerState::loading,
    SpeakerState::ready,   SpeakerState::playing, SpeakerState::paused,
};

constexpr std::string_view rawValue(SpeakerState state) {
    switch (state) {
    case SpeakerState::syncing:
        return "syncing";
    case SpeakerState::idle:
        return "idle";
    case SpeakerState::loading:
        return "loading";
    case SpeakerState::ready:
        return "ready";
    case SpeakerState::playing:
        return "playing";
    case SpeakerState::paused:
        return "paused";
    }
    return "";
}

// The state named by a STATUS text, or nothing for any other text.
constexpr std::optional<SpeakerState> speakerStateFromRaw(std::string_view raw) {
    for (SpeakerState state : allSpeakerStates) {
        if (rawValue(state) == raw) {
            return state;
        }
    }
    return std::nullopt;
}

} // namespace merriphonic
