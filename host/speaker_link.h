#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "core/message.h"
#include "host/transfer_scheduler.h"
#include "transport/connection.h"

namespace merriphonic {

// What the host is doing with the current track.
enum class HostPlayback { idle = 0, waiting = 1, playing = 2, paused = 3 };

// The colour class of a row's status chip.
enum class ChipKind { connecting, syncing, loading, ready, playing, paused, idle };

// One row of the host's device list: the host itself first, then one per speaker link.
struct SpeakerRow {
    // The host's own row.
    static constexpr std::string_view localId = "00000000-0000-0000-0000-000000000000";

    std::string id; // the connection's id
    std::string name;
    std::string platform;
    std::string chip;
    ChipKind kind = ChipKind::connecting;
    std::optional<double> rttMs;
    std::optional<int64_t> delayMs;
    bool isLocal = false;

    bool operator==(const SpeakerRow&) const = default;
};

// The chip text and class for a speaker's latest shown status.
struct Chip {
    std::string text;
    ChipKind kind = ChipKind::connecting;
    bool operator==(const Chip&) const = default;

    static Chip of(const std::optional<Status>& status, bool joined);
};

// One accepted speaker: its connection, its transfers and what the host knows of it. Lives on
// the main loop, apart from the scheduler (see TransferScheduler).
struct SpeakerLink {
    SpeakerLink(std::shared_ptr<Connection> connection,
                std::shared_ptr<TransferScheduler> scheduler)
        : connection(std::move(connection)), scheduler(std::move(scheduler)) {}

    std::shared_ptr<Connection> connection;
    std::shared_ptr<TransferScheduler> scheduler;
    std::optional<Hello> hello;               // a link with a HELLO has joined
    std::optional<Status> status;             // the last STATUS
    std::optional<Status> display;            // the STATUS the row shows
    std::set<std::string> readyKeys;          // tracks the speaker has whole
    std::map<std::string, int64_t> sentBytes; // per track, bytes turned into chunks so far
    int64_t playSentGeneration = -1;
    bool playSentWhileReady = false;
    int64_t pauseSentGeneration = -1;
    std::set<std::string> prefetchOffered; // next tracks offered during the current one

    [[nodiscard]] bool joined() const { return hello.has_value(); }
    // The HELLO name, or "?" before it.
    [[nodiscard]] std::string logName() const { return hello ? hello->name : "?"; }
    // Whether the last STATUS says the speaker plays (or is paused in) that track.
    [[nodiscard]] bool isPlayingOrPaused(const std::string& key) const;
};

} // namespace merriphonic
