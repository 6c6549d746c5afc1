#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/speaker_link.h"
#include "speaker/speaker_session.h"
#include "transport/discovered_host.h"

namespace merriphonic {

// What the host's table shows, as read from the session and the library.
struct HostView {
    std::string partyName;
    std::string header; // the screen's status line ("Advertising…")
    std::vector<SpeakerRow> rows;
    std::optional<std::string> title; // of the song chosen
    std::string artist;
    HostPlayback playback = HostPlayback::idle;
    int64_t positionMs = 0;
    int64_t durationMs = 0;
    std::optional<double> sendProgress; // while speakers are still receiving the song
    int songs = 0;
    int preparing = 0; // songs being imported or prepared
};

// What the speaker's status line shows.
struct SpeakerView {
    std::string partyName;
    SpeakerSession::Phase phase;
    SpeakerState state = SpeakerState::syncing;
    int loadingPercent = 0;
    std::optional<double> syncMs;
    std::string title;
    std::string artist;
    int64_t positionMs = 0;
    int64_t durationMs = 0;
};

// The command line's words for the sessions' state; the rules the screens follow (ScreenText)
// where the screens say the same thing.
struct CliText {
    static std::vector<std::string> hostTable(const HostView& view);
    static std::string speakerLine(const SpeakerView& view);
    static std::string phase(const SpeakerSession::Phase& phase);
    // A line of the parties list: the name, the signal in dBm and in bars.
    static std::string partyLine(const DiscoveredHost& party);
    // The text cut to at most `width` characters (UTF-8 aware), with "…" when cut, and padded
    // with spaces to `width`.
    static std::string column(const std::string& text, size_t width);
};

} // namespace merriphonic
