// A speaker session receiving a 3 MB song in virtual time over a link with no bandwidth limit:
// what one TRACK_CHUNK costs this process, from the host's write to the speaker's cache file
// (decoding, the main loop's handling and its positioned write), as an upper bound of what a
// chunk costs the speaker's main loop.

#include <benchmark/benchmark.h>

#include <memory>
#include <random>
#include <string>

#include "bench/bench_support.h"
#include "core/track_key.h"
#include "platform/sim/sim_device.h"
#include "platform/sim/sim_link.h"
#include "platform/sim/sim_world.h"
#include "speaker/speaker_session.h"
#include "transport/connection.h"

namespace merriphonic {
namespace {

constexpr int64_t songBytes = 3'000'000;
constexpr int64_t chunkBytes = 4096;

void speakerReceivesSong(benchmark::State& state) {
    Bytes song(songBytes);
    std::mt19937 rng(1);
    for (uint8_t& byte : song) {
        byte = static_cast<uint8_t>(rng());
    }
    const TrackKey key = TrackKey::of(ByteView(song));
    int64_t chunks = 0;
    for (auto _ : state) {
        state.PauseTiming();
        SimWorld world(1);
        SimDevice host(world, "host");
        SimDevice speaker(world, "spk");
        auto session = SpeakerSession::create(speaker.context());
        SimLink link(world, host.streams(), speaker.streams(),
                     SimLinkConfig{.sendBufferBytes = 1 << 20, .receiveBufferBytes = 0});
        auto hostEnd = Connection::create(host.context(), link.sideA(), "spk");
        hostEnd->autoPong = true;
        hostEnd->start();
        session->attach(Connection::create(speaker.context(), link.sideB(), "host"), "Bench");
        hostEnd->enqueue(
            OutboundFrame(Message(TrackOffer{key.hex(), "Song", "", "m4a", songBytes, 180'000})));
        world.runFor(1'000'000);
        state.ResumeTiming();
        for (int64_t at = 0; at < songBytes; at += chunkBytes) {
            const int64_t end = std::min(songBytes, at + chunkBytes);
            hostEnd->enqueue(OutboundFrame(Message(TrackChunk{
                key, static_cast<uint32_t>(at), Bytes(song.begin() + at, song.begin() + end)})));
            ++chunks;
            world.runFor(10'000);
        }
        world.runFor(1'000'000'000);
        state.PauseTiming();
        if (session->readyKeys().count(key.hex()) == 0) {
            state.SkipWithError("the song did not arrive whole");
        }
        session.reset();
        hostEnd.reset();
        world.runFor(1'000'000);
        state.ResumeTiming();
    }
    state.counters["chunks"] = double(chunks) / double(state.iterations());
    state.SetBytesProcessed(state.iterations() * songBytes);
}
BENCHMARK(speakerReceivesSong)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

} // namespace
} // namespace merriphonic

int main(int argc, char** argv) {
    return merriphonic::bench::runGroup(argc, argv, "session", [](const auto& results) {
        merriphonic::bench::Figures figures;
        if (const auto found = results.find("speakerReceivesSong/iterations:3/real_time");
            found != results.end()) {
            // Wall time per chunk, everything included.
            figures["speaker.chunk_us"] =
                found->second.realTimeNs / found->second.counters.at("chunks") / 1e3;
            figures["speaker.receive_mb_s"] = found->second.bytesPerSecond / 1e6;
        }
        return figures;
    });
}
