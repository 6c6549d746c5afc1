#pragma once

// A speaker in virtual time: a SyncPlayer labelled "speaker" on a simulated device, heard
// through a virtual sound card. The host clock is the world's time, so a PlaySpec's timeline is
// in world time; the player's offset provider knows the exact offset.

#include <filesystem>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "core/time_units.h"
#include "platform/ffmpeg/ffmpeg_media_toolkit.h"
#include "platform/sim/sim_audio_output.h"
#include "platform/sim/sim_device.h"
#include "platform/sim/sim_world.h"
#include "speaker/sync_player.h"
#include "tests/platform/ffmpeg/test_media.h"

namespace merriphonic::speaker_test {

inline constexpr double frameNs = 1e9 / 44100.0;

// Signals made on first use, 44.1 kHz stereo: step.wav is 2 s of a constant 0.5 (a sharp onset
// at frame 0), tone.wav and short.wav 6 s and 1 s of a 440 Hz sine of 0.5, song.m4a 60 s of a
// music-like signal in AAC.
inline std::filesystem::path mediaFile(const std::string& name) {
    const std::string sine = "0.5*sin(2*PI*440*t)";
    const std::map<std::string, std::string> sources{
        {"step.wav", "exprs='0.5|0.5':s=44100:d=2"},
        {"tone.wav", "exprs='" + sine + "|" + sine + "':s=44100:d=6"},
        {"short.wav", "exprs='" + sine + "|" + sine + "':s=44100:d=1"},
        {"song.m4a", "exprs='0.3*sin(2*PI*(220+30*sin(t))*t)+0.2*sin(2*PI*660*t)*sin(3*t)|0.3*sin("
                     "2*PI*(330+20*sin(t))*t)+0.15*sin(2*PI*880*t)*cos(2*t)':s=44100:d=60"}};
    testmedia::MediaFolder& folder = testmedia::media();
    if (!std::filesystem::exists(folder.path(name))) {
        folder.ffmpeg(name, {"-f", "lavfi", "-i", "aevalsrc=" + sources.at(name), "-c:a",
                             name.ends_with(".m4a") ? "aac" : "pcm_s16le"});
    }
    return folder.path(name);
}

// 7.3 ms: a latency of no whole number of frames.
inline constexpr int64_t defaultLatencyNs = 7'300'000;

class PlayerRig {
public:
    // clockSkewPpm: the speaker's clock against the host's.
    explicit PlayerRig(const SimAudioCardConfig& card = {.outputLatencyNs = defaultLatencyNs},
                       double clockSkewPpm = 0)
        : device(world, SimDeviceConfig{.name = "spk",
                                        .clockOffsetNs = 5 * nsPerSecond,
                                        .clockSkewPpm = clockSkewPpm}),
          cards(world, device.clock(), card) {
        device.context().media = &media;
        makePlayer(cards);
    }

    // A fresh player whose outputs come from audio.
    void makePlayer(AudioOutputFactory& audio) {
        device.context().audio = &audio;
        player = SyncPlayer::create(device.context(), "speaker");
        player->offsetProvider = [this] {
            return world.nowNs() - device.clock().nowNs() + extraOffsetNs;
        };
        player->onEnded = [this] {
            ++ended;
            endedAtWorldNs = world.nowNs();
        };
    }

    // Sets the PlaySpec (position positionMs heard startInNs from now) and schedules it with
    // the reason "play", loading the file first when one is given; with drift, starts the
    // drift timer too.
    void play(const std::string& file, int64_t startInNs, int64_t positionMs = 0,
              bool drift = true) {
        if (!file.empty() && !player->load(mediaFile(file))) {
            throw std::runtime_error("cannot load " + file);
        }
        timeline = PlaySpec{world.nowNs() + startInNs, positionMs};
        player->spec = timeline;
        player->schedule("play");
        if (drift) {
            player->startDriftTimer();
        }
    }
    void runFor(double seconds) { world.runFor(static_cast<int64_t>(seconds * 1e9)); }

    [[nodiscard]] SimAudioOutput& card() const { return *cards.output(); }
    // The world time at which the timeline wants a media frame (at 44.1 kHz) heard.
    [[nodiscard]] double plannedWorldNs(double mediaFrame) const {
        return double(timeline->startAtHostNs) +
               (mediaFrame * frameNs - double(timeline->positionMs) * 1e6);
    }
    // Heard minus planned time of the first frame of each buffer of media heard from worldNs.
    [[nodiscard]] std::vector<double> alignmentsSince(int64_t worldNs) const {
        std::vector<double> result;
        for (const SimHeardBuffer& b : card().heardBuffers()) {
            if (b.heardWorldNs >= worldNs && b.mediaFrame) {
                result.push_back(double(b.heardWorldNs) - plannedWorldNs(double(*b.mediaFrame)));
            }
        }
        return result;
    }
    [[nodiscard]] size_t logCount(std::string_view text) { return device.logSink().count(text); }

    SimWorld world{7};
    SimDevice device;
    FfmpegMediaToolkit media;
    SimAudioOutputFactory cards;
    int64_t extraOffsetNs = 0; // added to the exact offset the provider reports
    std::optional<PlaySpec> timeline;
    int ended = 0;
    int64_t endedAtWorldNs = -1;
    std::shared_ptr<SyncPlayer> player; // last: goes before what it uses
};

} // namespace merriphonic::speaker_test
