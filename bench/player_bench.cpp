// The synchronised player in virtual time: a ten-minute AAC song played on virtual sound cards
// whose crystals run 100 ppm slow, exact and 100 ppm fast, on a device whose clock slides
// against the host's at 20 ppm. Alignment is what the cards heard against the group timeline.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "core/time_units.h"
#include "platform/ffmpeg/ffmpeg_media_toolkit.h"
#include "platform/sim/sim_audio_output.h"
#include "platform/sim/sim_device.h"
#include "platform/sim/sim_world.h"
#include "speaker/sync_player.h"

namespace merriphonic {
namespace {

using bench::ffmpeg;
using bench::runQuietly;

constexpr int songSeconds = 600;
constexpr double songRate = 44100;
constexpr double settleSeconds = 5.0;
constexpr double clockSkewPpm = 20.0;

// The song, made once: two moving tones and some noise, transcoded to AAC in MPEG-4.
struct Song {
    std::filesystem::path folder = std::filesystem::temp_directory_path() /
                                   ("merriphonic-player-bench-" + std::to_string(getpid()));
    std::filesystem::path file = folder / "song.m4a";
    bool ready = false;

    Song() {
        std::filesystem::create_directories(folder);
        const std::string signal =
            "aevalsrc=exprs='0.3*sin(2*PI*(220+30*sin(t))*t)+0.2*sin(2*PI*660*t)*sin(3*t)+0.05*"
            "(random(0)-0.5)|0.3*sin(2*PI*(330+20*sin(t))*t)+0.15*sin(2*PI*880*t)*cos(2*t)+0.05*"
            "(random(1)-0.5)':s=44100:c=stereo:d=" +
            std::to_string(songSeconds);
        ready = runQuietly(ffmpeg({"-f", "lavfi", "-i", signal, "-c:a", "aac", "-b:a", "128k",
                                   "-movflags", "+faststart", file.string()}));
    }
    ~Song() {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
    Song(const Song&) = delete;
    Song& operator=(const Song&) = delete;
};

Song& song() {
    static Song instance;
    return instance;
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return 0.0;
    }
    const auto index = static_cast<size_t>(std::ceil(p * double(values.size()))) - 1;
    std::nth_element(values.begin(),
                     values.begin() +
                         static_cast<std::ptrdiff_t>(std::min(index, values.size() - 1)),
                     values.end());
    return values[std::min(index, values.size() - 1)];
}

void playSong(benchmark::State& state, double cardPpm) {
    if (!song().ready) {
        state.SkipWithError("ffmpeg could not make the song");
        return;
    }
    for (auto _ : state) {
        SimWorld world(11);
        SimDeviceConfig config;
        config.name = "spk";
        config.clockOffsetNs = 3 * nsPerSecond;
        config.clockSkewPpm = clockSkewPpm;
        SimDevice device(world, config);
        FfmpegMediaToolkit media;
        SimAudioCardConfig card;
        card.crystalPpm = cardPpm;
        card.outputLatencyNs = 12'000'000;
        card.periodFrames = 256;
        card.recordBuffers = false;
        SimAudioOutputFactory cards(world, device.clock(), card);
        device.context().audio = &cards;
        device.context().media = &media;

        auto player = SyncPlayer::create(device.context(), "speaker");
        // The host clock is the world's time; the offset slides with the device's skew.
        player->offsetProvider = [&] { return world.nowNs() - device.clock().nowNs(); };
        bool ended = false;
        player->onEnded = [&] { ended = true; };
        if (!player->load(song().file)) {
            state.SkipWithError("cannot load the song");
            return;
        }
        const PlaySpec spec{world.nowNs() + 1500 * 1'000'000, 0};
        player->spec = spec;

        std::vector<double> errorsMs;
        errorsMs.reserve(size_t(songSeconds * songRate / card.periodFrames) + 16);
        // Heard times (s from the start) of the last error of 1 ms or more, and of 0.1 ms or more.
        double lastOverMs = 0.0;
        double lastOverTenthMs = 0.0;
        const auto startNs = double(spec.startAtHostNs);
        cards.output()->setHeardHandler([&](const SimHeardBuffer& buffer) {
            if (!buffer.mediaFrame) {
                return;
            }
            const double plannedNs = startNs + *buffer.mediaFrame / songRate * 1e9;
            const double errorMs = (double(buffer.heardWorldNs) - plannedNs) / 1e6;
            const double sinceStart = (double(buffer.heardWorldNs) - startNs) / 1e9;
            if (std::abs(errorMs) >= 1.0) {
                lastOverMs = sinceStart;
            }
            if (std::abs(errorMs) >= 0.1) {
                lastOverTenthMs = sinceStart;
            }
            if (sinceStart >= settleSeconds) {
                errorsMs.push_back(std::abs(errorMs));
            }
        });
        player->schedule("play");
        player->startDriftTimer();
        world.runUntil(world.nowNs() + (songSeconds + 5) * nsPerSecond);

        const SimAudioOutput& output = *cards.output();
        const double audioSeconds = double(output.renderCalls()) * card.periodFrames / songRate;
        state.counters["err_p50_ms"] = percentile(errorsMs, 0.50);
        state.counters["err_p99_ms"] = percentile(errorsMs, 0.99);
        state.counters["err_max_ms"] =
            errorsMs.empty() ? 0.0 : *std::max_element(errorsMs.begin(), errorsMs.end());
        state.counters["converge_s"] = lastOverMs;
        state.counters["settle_0.1ms_s"] = lastOverTenthMs;
        state.counters["resyncs"] = double(device.logSink().count("hard re-sync"));
        state.counters["render_x_realtime"] = audioSeconds / (double(output.renderCpuNs()) / 1e9);
        state.counters["decode_x_realtime"] = audioSeconds / (double(output.feedCpuNs()) / 1e9);
        state.counters["ended"] = ended ? 1 : 0;
        state.counters["learned_ppm"] = player->drift().integral * 1e6;
    }
}

BENCHMARK_CAPTURE(playSong, card_minus_100ppm, -100.0)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(playSong, card_0ppm, 0.0)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(playSong, card_plus_100ppm, 100.0)->Iterations(1)->Unit(benchmark::kSecond);

} // namespace
} // namespace merriphonic

int main(int argc, char** argv) {
    using merriphonic::bench::Figures;
    using merriphonic::bench::Results;
    return merriphonic::bench::runGroup(argc, argv, "player", [](const Results& results) {
        auto counter = [](const merriphonic::bench::Result& result, const char* name) {
            const auto it = result.counters.find(name);
            return it == result.counters.end() ? 0.0 : it->second;
        };
        std::printf("\nten-minute AAC song, offset sliding at 20 ppm, alignment after the first "
                    "5 s\n");
        std::printf("%-18s %10s %10s %10s %11s %13s %8s %14s %14s %6s\n", "card", "p50 ms",
                    "p99 ms", "max ms", "converge s", "under .1ms s", "resyncs", "render x real",
                    "decode x real", "ended");
        Figures figures{{"player.err_p50_ms", 0.0}, {"player.err_p99_ms", 0.0},
                        {"player.err_max_ms", 0.0}, {"player.converge_s", 0.0},
                        {"player.resyncs", 0.0},    {"player.render_x_realtime", 0.0}};
        bool first = true;
        for (const auto& [name, result] : results) {
            const std::string card = name.substr(name.find('/') + 1);
            std::printf("%-18s %10.4f %10.4f %10.4f %11.1f %13.1f %8.0f %14.0f %14.0f %6.0f\n",
                        card.substr(0, card.find('/')).c_str(), counter(result, "err_p50_ms"),
                        counter(result, "err_p99_ms"), counter(result, "err_max_ms"),
                        counter(result, "converge_s"), counter(result, "settle_0.1ms_s"),
                        counter(result, "resyncs"), counter(result, "render_x_realtime"),
                        counter(result, "decode_x_realtime"), counter(result, "ended"));
            // The worst of the cards.
            for (const char* key :
                 {"err_p50_ms", "err_p99_ms", "err_max_ms", "converge_s", "resyncs"}) {
                double& figure = figures[std::string("player.") + key];
                figure = std::max(figure, counter(result, key));
            }
            double& cost = figures["player.render_x_realtime"];
            cost = first ? counter(result, "render_x_realtime")
                         : std::min(cost, counter(result, "render_x_realtime"));
            first = false;
        }
        std::printf("\n");
        return figures;
    });
}
