#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/playback_math.h"
#include "platform/ffmpeg/ffmpeg_media_toolkit.h"
#include "platform/sim/sim_audio_output.h"
#include "platform/sim/sim_device.h"
#include "platform/sim/sim_world.h"
#include "speaker/sync_player.h"

namespace merriphonic::speaker_test {

inline constexpr int64_t msNs = 1'000'000;
inline constexpr int64_t secondNs = 1'000'000'000;
inline constexpr double songRate = 44100.0;
inline constexpr double frameNs = 1e9 / songRate;

struct RigOptions {
    double cardPpm = 0.0;
    int64_t latencyNs = 7'300'000; // not a whole number of frames
    int64_t latencyErrorNs = 0;
    int periodFrames = 256;
    bool capture = false;
    // The speaker's clock against the host's (the host clock is the world's time).
    int64_t clockOffsetNs = 5 * secondNs;
    double clockSkewPpm = 0.0;
};

// A speaker in virtual time: a SyncPlayer labelled "speaker" on a simulated device with a
// virtual sound card, whose offset provider knows the exact host-clock offset. The host's
// clock is the world's time, so the timeline of a PlaySpec is in world time.
class PlayerRig {
public:
    explicit PlayerRig(RigOptions options = {});
    ~PlayerRig();
    PlayerRig(const PlayerRig&) = delete;
    PlayerRig& operator=(const PlayerRig&) = delete;

    // Loads the file, sets the PlaySpec (position positionMs heard startInNs from now) and
    // schedules it with the reason "play"; with drift, starts the drift timer too.
    void play(const std::string& file, int64_t startInNs, int64_t positionMs = 0,
              bool drift = true);
    void runFor(double seconds) { world.runFor(static_cast<int64_t>(seconds * 1e9)); }

    [[nodiscard]] SimAudioOutput& card() const { return *cards.output(); }
    // The world time at which the timeline wants a media frame heard.
    [[nodiscard]] double plannedWorldNs(double mediaFrame) const;
    // Heard minus planned time of a buffer's first frame; nullopt without media.
    [[nodiscard]] std::optional<double> alignmentNs(const SimHeardBuffer& buffer) const;
    // Alignments of the buffers heard at or after a world time.
    [[nodiscard]] std::vector<double> alignmentsSince(int64_t worldNs) const;
    [[nodiscard]] size_t logCount(std::string_view text);
    [[nodiscard]] std::vector<std::string> logLines(std::string_view text);

    RigOptions options;
    SimWorld world{7};
    SimDevice device;
    FfmpegMediaToolkit media;
    SimAudioOutputFactory cards;
    int64_t extraOffsetNs = 0; // added to the exact offset the provider reports
    std::shared_ptr<SyncPlayer> player;
    std::optional<PlaySpec> timeline; // the PlaySpec given last by play()
    int ended = 0;
    int64_t endedAtWorldNs = -1;
};

// Fractional frames of the capture's channel 0 at which clicks peak above the threshold.
std::vector<double> clickFrames(const std::vector<float>& interleaved, int channels,
                                float threshold = 0.3F);

} // namespace merriphonic::speaker_test
