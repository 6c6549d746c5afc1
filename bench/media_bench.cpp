// Media: converting a three-minute song to the transfer format, beside the ffmpeg command-line
// tool doing the same on the same file, and the reader's decoding speed.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "platform/ffmpeg/ffmpeg_media_toolkit.h"

namespace merriphonic {
namespace {

using bench::ffmpeg;
using bench::runQuietly;

constexpr double songSeconds = 180;
constexpr int songRate = 44100;

// The benchmark's files, made once: a song-like signal (two moving tones and some noise).
struct Files {
    std::filesystem::path folder = std::filesystem::temp_directory_path() /
                                   ("merriphonic-media-bench-" + std::to_string(getpid()));
    std::filesystem::path wav = folder / "song.wav";
    std::filesystem::path aac = folder / "song.m4a";
    std::filesystem::path mp3 = folder / "song.mp3";
    bool ready = false;

    Files() {
        std::filesystem::create_directories(folder);
        const std::string signal =
            "aevalsrc=exprs='0.3*sin(2*PI*(220+30*sin(t))*t)+0.2*sin(2*PI*660*t)*sin(3*t)+0.05*"
            "(random(0)-0.5)|0.3*sin(2*PI*(330+20*sin(t))*t)+0.15*sin(2*PI*880*t)*cos(2*t)+0.05*"
            "(random(1)-0.5)':s=" +
            std::to_string(songRate) + ":c=stereo:d=" + std::to_string(songSeconds);
        ready =
            runQuietly(ffmpeg({"-f", "lavfi", "-i", signal, "-c:a", "pcm_s16le", wav.string()})) &&
            runQuietly(ffmpeg({"-i", wav.string(), "-c:a", "aac", "-b:a", "128k", aac.string()})) &&
            runQuietly(
                ffmpeg({"-i", wav.string(), "-c:a", "libmp3lame", "-b:a", "192k", mp3.string()}));
    }
    ~Files() {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
    Files(const Files&) = delete;
    Files& operator=(const Files&) = delete;
};

Files& files() {
    static Files instance;
    return instance;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Ours and the command-line tool alternate within each iteration, so that load from elsewhere
// on the machine falls on both alike. The iteration time is ours.
void transcodeBesideCli(benchmark::State& state) {
    if (!files().ready) {
        state.SkipWithError("ffmpeg could not make the test song");
        return;
    }
    FfmpegMediaToolkit toolkit;
    const std::filesystem::path ours = files().folder / "ours.m4a";
    const std::filesystem::path theirs = files().folder / "theirs.m4a";
    const std::vector<std::string> command =
        ffmpeg({"-i", files().wav.string(), "-c:a", "aac", "-b:a", "96k", "-movflags", "+faststart",
                theirs.string()});
    double oursTotal = 0;
    double theirsTotal = 0;
    int64_t round = 0;
    for (auto _ : state) {
        double oursSeconds = 0;
        auto runOurs = [&] {
            const auto start = std::chrono::steady_clock::now();
            if (!toolkit.transcodeToAac(files().wav, ours, AacSettings{songRate, 2, 96000})) {
                state.SkipWithError("transcoding failed");
            }
            oursSeconds = secondsSince(start);
        };
        auto runTheirs = [&] {
            const auto start = std::chrono::steady_clock::now();
            if (!runQuietly(command)) {
                state.SkipWithError("ffmpeg failed");
            }
            theirsTotal += secondsSince(start);
        };
        if (round++ % 2 == 0) {
            runOurs();
            runTheirs();
        } else {
            runTheirs();
            runOurs();
        }
        oursTotal += oursSeconds;
        state.SetIterationTime(oursSeconds);
    }
    state.counters["ours_s"] = benchmark::Counter(oursTotal, benchmark::Counter::kAvgIterations);
    state.counters["ffmpeg_s"] =
        benchmark::Counter(theirsTotal, benchmark::Counter::kAvgIterations);
}
BENCHMARK(transcodeBesideCli)->Iterations(4)->UseManualTime()->Unit(benchmark::kMillisecond);

void decodeWholeFile(benchmark::State& state, const std::filesystem::path& file) {
    if (!files().ready) {
        state.SkipWithError("ffmpeg could not make the test song");
        return;
    }
    FfmpegMediaToolkit toolkit;
    std::vector<float> buffer(4096 * 2);
    int64_t frames = 0;
    for (auto _ : state) {
        auto reader = toolkit.openReader(file);
        if (!reader) {
            state.SkipWithError(reader.error().description.c_str());
            return;
        }
        int64_t got = 0;
        while ((got = (*reader)->read(buffer.data(), 4096)) > 0) {
            frames += got;
        }
    }
    state.counters["audio_s"] = benchmark::Counter(static_cast<double>(frames) / songRate,
                                                   benchmark::Counter::kAvgIterations);
}

void decodeAac(benchmark::State& state) {
    decodeWholeFile(state, files().aac);
}
void decodeMp3(benchmark::State& state) {
    decodeWholeFile(state, files().mp3);
}
BENCHMARK(decodeAac)->Iterations(5)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(decodeMp3)->Iterations(5)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace
} // namespace merriphonic

int main(int argc, char** argv) {
    using merriphonic::bench::Figures;
    using merriphonic::bench::Result;
    using merriphonic::bench::Results;
    return merriphonic::bench::runGroup(argc, argv, "media", [](const Results& results) {
        auto get = [&](const std::string& prefix) {
            for (const auto& [name, result] : results) {
                if (name.rfind(prefix, 0) == 0) {
                    return result;
                }
            }
            return Result{};
        };
        auto counter = [](const Result& result, const std::string& name) {
            const auto it = result.counters.find(name);
            return it == result.counters.end() ? 0.0 : it->second;
        };
        Figures figures;
        const Result pair = get("transcodeBesideCli");
        const double theirs = counter(pair, "ffmpeg_s");
        figures["media.transcode_vs_ffmpeg_ratio"] =
            theirs > 0 ? counter(pair, "ours_s") / theirs : 0;
        for (const auto& [figure, benchmarkName] :
             {std::pair<const char*, const char*>{"media.decode_aac_x_realtime", "decodeAac"},
              {"media.decode_mp3_x_realtime", "decodeMp3"}}) {
            const Result decode = get(benchmarkName);
            figures[figure] =
                decode.realTimeNs > 0 ? counter(decode, "audio_s") / (decode.realTimeNs / 1e9) : 0;
        }
        return figures;
    });
}
