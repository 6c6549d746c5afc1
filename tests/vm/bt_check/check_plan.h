#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/time_units.h"

namespace merriphonic {

// What the two processes of the Bluetooth check agree on without talking: the parties the host
// runs, one after the other, and what happens in each.
//
// In both, the speaker finds the party, joins it, greets (HELLO, WELCOME), times PING round
// trips and sends a track that the host confirms by its SHA-256.
// - Party 1 carries the full exchange and ends as the host ends a party: its BYE must reach the
//   speaker, which then closes the channel and drops its link as the app does; BlueZ must show
//   no link. The speaker's channel starts with the least send buffer the kernel allows, too
//   small for one track frame.
// - Party 2 shows that a new party works after that in the same boot. The host asks for a small
//   receive MTU, so that every track frame crosses in several SDUs, and once the track is
//   confirmed it drops the link from its side, as if the speaker had gone out of range: the
//   speaker must see the link's loss (onDisconnected) and the channel's end.
// After each party the host makes sure BlueZ holds no advertisement of ours.
struct CheckPlan {
    static constexpr int partyCount = 2;

    static constexpr int firstPingCount = 200;
    static constexpr size_t firstTrackBytes = 4 * 1024 * 1024;
    static constexpr int secondPingCount = 20;
    static constexpr size_t secondTrackBytes = 256 * 1024;

    // The size of the first party's info record: the most an ATT attribute may hold. Every byte
    // must arrive for the record to parse. (BlueZ settles on an ATT MTU of 517, so the record
    // still crosses in one read; its client cuts longer values at 512 bytes.)
    static constexpr size_t firstInfoBytes = 512;
    // The host's receive MTU in party 2: less than a track frame (just over 4 KiB) and no divisor
    // of it.
    static constexpr uint16_t secondPartyReceiveMtu = 1000;

    // Discovery on the emulated controllers can lag by a scan restart or two under load; the
    // join deadline only starts once the party has been found.
    static constexpr int64_t discoveryLimitNs = 90 * nsPerSecond;
    // From the channel's opening to the digest report of the first party's track.
    static constexpr int64_t exchangeLimitNs = 300 * nsPerSecond;
    // For the far end's BYE, the channel's end and the link's drop after a party ends.
    static constexpr int64_t teardownLimitNs = 30 * nsPerSecond;
    // The host gives up when the speaker has not finished by then.
    static constexpr int64_t hostLimitNs = 600 * nsPerSecond;

    // The party's name (index 0 or 1). The first one is long (the advertisement carries only
    // its beginning; the info record the whole, in several reads) and not all ASCII; the second
    // fits the advertisement whole.
    static std::string partyName(int party);
    // Whether an advertised name announces this party: the whole name, or a shortened one
    // that the party name begins with.
    static bool announces(std::string_view advertisedName, int party);
    static size_t trackBytes(int party) { return party == 0 ? firstTrackBytes : secondTrackBytes; }
    static int pingCount(int party) { return party == 0 ? firstPingCount : secondPingCount; }
    static uint64_t trackSeed(int party) { return 0x6D65727269ULL + static_cast<uint64_t>(party); }
};

} // namespace merriphonic
