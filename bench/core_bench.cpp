// Protocol core throughput: reassembly, encoding, STATUS JSON, clock samples and track keys
// (beside the system's sha256sum on the same file, in the same run).
#include "bench/bench_support.h"

#include "core/clock_sync.h"
#include "core/frame_codec.h"
#include "core/frame_reassembler.h"
#include "core/json_parser.h"
#include "core/json_writer.h"
#include "core/message.h"
#include "core/message_json.h"
#include "core/sync_protocol.h"
#include "core/track_key.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

namespace merriphonic {
namespace {

constexpr size_t keyFileSize = 32u << 20;

const std::filesystem::path& keyFile() {
    static const std::filesystem::path path = [] {
        auto p = std::filesystem::temp_directory_path() /
                 ("merriphonic-bench-key-" + std::to_string(::getpid()) + ".bin");
        std::mt19937_64 rng(7);
        std::vector<uint64_t> words(keyFileSize / sizeof(uint64_t));
        std::generate(words.begin(), words.end(), rng);
        std::ofstream out(p, std::ios::binary);
        out.write(reinterpret_cast<const char*>(words.data()),
                  static_cast<std::streamsize>(keyFileSize));
        return p;
    }();
    return path;
}

Bytes chunkStream(size_t frames) {
    Bytes stream;
    const TrackKey key = TrackKey::of(ByteView());
    for (size_t i = 0; i < frames; ++i) {
        TrackChunk chunk{key, static_cast<uint32_t>(i * SyncProtocol::chunkDataSize),
                         Bytes(SyncProtocol::chunkDataSize, static_cast<uint8_t>(i))};
        const Bytes frame = FrameCodec::encode(chunk);
        stream.insert(stream.end(), frame.begin(), frame.end());
    }
    return stream;
}

void reassembleChunks(benchmark::State& state) {
    const Bytes stream = chunkStream(256);
    constexpr size_t readSize = 32768; // one connection read
    size_t frames = 0;
    for (auto _ : state) {
        FrameReassembler reassembler;
        for (size_t at = 0; at < stream.size(); at += readSize) {
            const size_t n = std::min(readSize, stream.size() - at);
            frames += reassembler.push(ByteView(stream).subspan(at, n)).size();
        }
    }
    benchmark::DoNotOptimize(frames);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
}
BENCHMARK(reassembleChunks);

void encodeChunk(benchmark::State& state) {
    const Message chunk =
        TrackChunk{TrackKey::of(ByteView()), 4096, Bytes(SyncProtocol::chunkDataSize, 0x5a)};
    for (auto _ : state) {
        benchmark::DoNotOptimize(FrameCodec::encode(chunk));
    }
    state.SetBytesProcessed(state.iterations() * (SyncProtocol::chunkDataSize + 17));
}
BENCHMARK(encodeChunk);

const Message& statusMessage() {
    static const Message status =
        Status{"playing", "0011223344556677", 3'145'728, 4'194'304, 12.625, 40};
    return status;
}

void parseStatus(benchmark::State& state) {
    const Bytes payload = FrameCodec::payloadBytes(statusMessage());
    for (auto _ : state) {
        benchmark::DoNotOptimize(FrameCodec::decode(0x40, payload));
    }
}
BENCHMARK(parseStatus);

void writeStatus(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(FrameCodec::payloadBytes(statusMessage()));
    }
}
BENCHMARK(writeStatus);

// A speaker's window after 30 s of pings (a burst of 5 every 2 s), then one more sample
// per iteration, each pushing the oldest out.
void clockSyncAdd(benchmark::State& state) {
    ClockSync sync(SyncProtocol::clockWindowNs, SyncProtocol::minSyncSamples);
    std::mt19937_64 rng(3);
    int64_t t = 0;
    auto addOne = [&] {
        const int64_t rtt = 2'000'000 + static_cast<int64_t>(rng() % 8'000'000);
        benchmark::DoNotOptimize(sync.add(t, t + 1'000'000'000 + rtt / 2,
                                          t + 1'000'000'000 + rtt / 2 + 50'000, t + rtt));
        t += 400'000'000; // 2 s / 5
    };
    while (t < SyncProtocol::clockWindowNs) {
        addOne();
    }
    for (auto _ : state) {
        addOne();
    }
    state.counters["window_samples"] = static_cast<double>(sync.samples().size());
}
BENCHMARK(clockSyncAdd);

void trackKeyOfFile(benchmark::State& state) {
    const auto& path = keyFile();
    for (auto _ : state) {
        benchmark::DoNotOptimize(TrackKey::of(path));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * keyFileSize));
}
BENCHMARK(trackKeyOfFile)->Unit(benchmark::kMillisecond)->UseRealTime();

// The system tool on the same file, process start included (about a millisecond).
void sha256sumOfFile(benchmark::State& state) {
    const std::string path = keyFile().string();
    for (auto _ : state) {
        pid_t pid = 0;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        char* const argv[] = {const_cast<char*>("sha256sum"), const_cast<char*>(path.c_str()),
                              nullptr};
        if (posix_spawnp(&pid, "sha256sum", &actions, nullptr, argv, environ) != 0) {
            state.SkipWithError("sha256sum could not be started");
            break;
        }
        int status = 0;
        waitpid(pid, &status, 0);
        posix_spawn_file_actions_destroy(&actions);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * keyFileSize));
}
BENCHMARK(sha256sumOfFile)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
} // namespace merriphonic

int main(int argc, char** argv) {
    using merriphonic::bench::Figures;
    using merriphonic::bench::Results;
    const int code = merriphonic::bench::runGroup(argc, argv, "core", [](const Results& r) {
        Figures f;
        auto get = [&](const char* name) {
            auto it = r.find(name);
            return it == r.end() ? merriphonic::bench::Result{} : it->second;
        };
        f["core.reassemble_mb_s"] = get("reassembleChunks").bytesPerSecond / 1e6;
        f["core.json_status_parse_ns"] = get("parseStatus").cpuTimeNs;
        f["core.json_status_write_ns"] = get("writeStatus").cpuTimeNs;
        f["core.clock_add_ns"] = get("clockSyncAdd").cpuTimeNs;
        f["core.encode_chunk_ns"] = get("encodeChunk").cpuTimeNs;
        f["core.key_mb_s"] = get("trackKeyOfFile/real_time").bytesPerSecond / 1e6;
        const double ours = get("trackKeyOfFile/real_time").realTimeNs;
        const double theirs = get("sha256sumOfFile/real_time").realTimeNs;
        f["core.key_vs_sha256sum_ratio"] = theirs > 0 ? ours / theirs : 0;
        return f;
    });
    std::filesystem::remove(merriphonic::keyFile());
    return code;
}
