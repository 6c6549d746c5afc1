// Connection throughput and latency over real sockets, and the speed of a simulated party:
// (a) bulk chunks through a Connection beside raw write() of the same bytes, (b) PING→PONG
// turnaround while chunks saturate the link, (c) simulated seconds per wall second for a host
// and seven pinging speakers being sent chunks.
#include "bench/bench_support.h"

#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "core/frame_codec.h"
#include "core/message.h"
#include "core/outbound_frame.h"
#include "core/sync_protocol.h"
#include "core/time_units.h"
#include "platform/device_context.h"
#include "platform/qt/fd_byte_stream.h"
#include "platform/qt/qt_run_loop.h"
#include "platform/qt/stream_thread.h"
#include "platform/qt/system_clock.h"
#include "platform/qt/thread_pool_background_work.h"
#include "platform/sim/memory_prefs_store.h"
#include "platform/sim/sim_device.h"
#include "platform/sim/sim_link.h"
#include "platform/sim/sim_world.h"
#include "transport/connection.h"

// After the project's headers: Qt's `emit` keyword macro would rewrite Log::emit.
#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>

namespace merriphonic {
namespace {

using Clock = std::chrono::steady_clock;

class NullLogSink final : public LogSink {
public:
    void write(LogCategory, LogLevel, std::string_view) override {}
    [[nodiscard]] bool enabled(LogLevel) const override { return false; }
};

QtRunLoop& mainLoop() {
    static QtRunLoop loop;
    return loop;
}

// Runs the main event loop until done() holds.
void runMainUntil(const std::function<bool()>& done) {
    QEventLoop loop;
    while (!done()) {
        loop.processEvents(QEventLoop::AllEvents, 5);
    }
}

// A device of this process on the given stream loop.
struct RealContext {
    explicit RealContext(RunLoop& streams)
        : context{clock, mainLoop(), streams, background, log, prefs, {}} {}

    SystemClock clock;
    ThreadPoolBackgroundWork background{mainLoop(), 1};
    Log log{std::make_shared<NullLogSink>()};
    MemoryPrefsStore prefs;
    DeviceContext context;
};

const Bytes& chunkFrame() {
    static const Bytes frame = FrameCodec::encode(TrackChunk{
        TrackKey{{1, 2, 3, 4, 5, 6, 7, 8}}, 0, Bytes(SyncProtocol::chunkDataSize, 0x5a)});
    return frame;
}

// Hands out copies of one encoded chunk, `limit` of them (0: without end).
class ChunkSource final : public BulkSource {
public:
    explicit ChunkSource(size_t limit) : limit_(limit) {}
    std::optional<OutboundFrame> nextBulkFrame() override {
        if (limit_ != 0 && handed_ == limit_) {
            return std::nullopt;
        }
        ++handed_;
        return OutboundFrame(chunkFrame(), std::nullopt, true, "TRACK_CHUNK");
    }

private:
    size_t limit_;
    size_t handed_ = 0;
};

std::array<int, 2> socketPair() {
    std::array<int, 2> fds{-1, -1};
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds.data()) != 0) {
        std::abort();
    }
    return fds;
}

// Reads and discards `expected` bytes on its own thread.
std::thread drain(int fd, size_t expected) {
    return std::thread([fd, expected] {
        std::vector<uint8_t> buffer(65'536);
        size_t received = 0;
        while (received < expected) {
            const ssize_t count = ::read(fd, buffer.data(), buffer.size());
            if (count <= 0) {
                break;
            }
            received += static_cast<size_t>(count);
        }
    });
}

constexpr size_t chunksPerRun = 4'096; // 16.8 MB

// Seconds to push chunksPerRun chunks through write() on a blocking socket.
double rawWriteRun() {
    const Bytes& frame = chunkFrame();
    const auto fds = socketPair();
    std::thread reader = drain(fds[1], chunksPerRun * frame.size());
    const auto start = Clock::now();
    for (size_t i = 0; i < chunksPerRun; ++i) {
        size_t written = 0;
        while (written < frame.size()) {
            const ssize_t count = ::write(fds[0], frame.data() + written, frame.size() - written);
            if (count <= 0) {
                std::abort();
            }
            written += static_cast<size_t>(count);
        }
    }
    reader.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    ::close(fds[0]);
    ::close(fds[1]);
    return seconds;
}

// Seconds for a Connection on the stream thread to send the same chunks from a BulkSource.
double connectionRun(RealContext& device) {
    const auto fds = socketPair();
    std::thread reader = drain(fds[1], chunksPerRun * chunkFrame().size());
    auto connection = Connection::create(device.context,
                                         makeFdStreamPair(fds[0], StreamThread::shared()), "bench");
    auto source = std::make_shared<ChunkSource>(chunksPerRun);
    connection->setBulkSource(source);
    const auto start = Clock::now();
    connection->start();
    reader.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    bool closed = false;
    connection->onClose = [&closed](const std::string&) { closed = true; };
    connection->close("done");
    runMainUntil([&] { return closed; });
    ::close(fds[1]);
    return seconds;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

// Raw and Connection runs alternate, so that both see the same machine load; the ratio is the
// median of the per-pair ratios.
void bulkThroughput(benchmark::State& state) {
    constexpr int pairs = 25;
    RealContext device(StreamThread::shared());
    const double megabytes = static_cast<double>(chunksPerRun * chunkFrame().size()) / 1e6;
    std::vector<double> raw;
    std::vector<double> ours;
    std::vector<double> ratios;
    for (auto _ : state) {
        for (int i = 0; i < pairs; ++i) {
            raw.push_back(megabytes / rawWriteRun());
            ours.push_back(megabytes / connectionRun(device));
            ratios.push_back(ours.back() / raw.back());
        }
    }
    state.counters["raw_mb_s"] = median(raw);
    state.counters["connection_mb_s"] = median(ours);
    state.counters["ratio"] = median(ratios);
}
BENCHMARK(bulkThroughput)->Iterations(1)->Unit(benchmark::kMillisecond);

// The host (auto-PONG, sending chunks without end) on the stream thread; the speaker on a
// thread of its own, pinging every 2 ms and timing each PONG from the PING's send time to the
// PONG's receive time, both on the one monotonic clock. The argument, when not 0, is the
// sockets' send buffer size: what the kernel holds ahead of a PONG, beyond the connection's
// reach, is the bulk of the wait.
void pongUnderBulk(benchmark::State& state) {
    constexpr size_t samples = 2'000;
    QThread speakerThread;
    QtRunLoop speakerLoop(speakerThread);
    speakerThread.start(QThread::TimeCriticalPriority);
    RealContext hostDevice(StreamThread::shared());
    RealContext speakerDevice(speakerLoop);
    std::vector<double> turnaroundsUs;
    int64_t chunksReceived = 0;

    for (auto _ : state) {
        const auto fds = socketPair();
        if (const int size = static_cast<int>(state.range(0)); size > 0) {
            for (const int fd : fds) {
                ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
            }
        }
        auto host = Connection::create(hostDevice.context,
                                       makeFdStreamPair(fds[0], StreamThread::shared()), "host");
        auto speaker = Connection::create(speakerDevice.context,
                                          makeFdStreamPair(fds[1], speakerLoop), "speaker");
        host->autoPong = true;
        auto source = std::make_shared<ChunkSource>(0);
        host->setBulkSource(source);
        speaker->onMessage = [&](const Message& message, int64_t receiveNs) {
            if (const auto* pong = message.as<Pong>()) {
                turnaroundsUs.push_back(static_cast<double>(receiveNs - pong->t1) / 1e3);
            } else {
                ++chunksReceived;
            }
        };
        host->start();
        speaker->start();
        uint32_t seq = 0;
        auto nextPing = Clock::now();
        runMainUntil([&] {
            if (Clock::now() >= nextPing && seq < samples) {
                speaker->enqueue(OutboundFrame::ping(++seq));
                nextPing += std::chrono::milliseconds(2);
            }
            return turnaroundsUs.size() >= samples;
        });
        int closes = 0;
        host->onClose = [&closes](const std::string&) { ++closes; };
        speaker->onClose = [&closes](const std::string&) { ++closes; };
        host->close("done");
        speaker->close("done");
        runMainUntil([&] { return closes == 2; });
    }
    std::sort(turnaroundsUs.begin(), turnaroundsUs.end());
    const auto at = [&](double q) {
        return turnaroundsUs[static_cast<size_t>(q *
                                                 static_cast<double>(turnaroundsUs.size() - 1))];
    };
    state.counters["p50_us"] = at(0.5);
    state.counters["p99_us"] = at(0.99);
    state.counters["max_us"] = turnaroundsUs.back();
    state.counters["chunks"] = static_cast<double>(chunksReceived);

    // Let the speaker loop finish closing its streams before it stops.
    std::atomic<bool> drained = false;
    speakerLoop.post([&drained] { mainLoop().post([&drained] { drained = true; }); });
    runMainUntil([&] { return drained.load(); });
    speakerThread.quit();
    speakerThread.wait();
}
BENCHMARK(pongUnderBulk)->Arg(0)->Arg(16'384)->Iterations(1)->Unit(benchmark::kMillisecond);

// One host and seven speakers over radio-like links: each speaker sends a burst of PINGs on
// joining and a shorter one every period; the host answers them and streams chunks to all.
void simParty(benchmark::State& state) {
    constexpr int64_t simulatedNs = 120'000 * nsPerMs;
    constexpr int speakers = SyncProtocol::maxSpeakers;
    int64_t pongs = 0;
    int64_t chunks = 0;
    double wallSeconds = 0;
    for (auto _ : state) {
        SimWorld world(3);
        SimDevice host(world, "host");
        std::vector<std::unique_ptr<SimDevice>> devices;
        std::vector<std::unique_ptr<SimLink>> links;
        std::vector<std::shared_ptr<Connection>> connections;
        std::vector<std::shared_ptr<ChunkSource>> sources;
        std::vector<ScopedTimer> timers;
        SimLinkConfig config;
        config.latencyNs = 10 * nsPerMs;
        config.jitterNs = 2 * nsPerMs;
        config.bytesPerSecond = 125'000;
        config.maxMessageSize = 672;
        config.sendBufferBytes = 16'384;
        config.receiveBufferBytes = 32'768;
        for (int i = 0; i < speakers; ++i) {
            devices.push_back(
                std::make_unique<SimDevice>(world, SimDeviceConfig{"spk" + std::to_string(i + 1),
                                                                   i * 1'000 * nsPerMs, 20.0 * i}));
            SimDevice& speaker = *devices.back();
            links.push_back(
                std::make_unique<SimLink>(world, host.streams(), speaker.streams(), config));
            auto hostSide = Connection::create(host.context(), links.back()->sideA(), "spk");
            hostSide->autoPong = true;
            sources.push_back(std::make_shared<ChunkSource>(0));
            hostSide->setBulkSource(sources.back());
            auto speakerSide = Connection::create(speaker.context(), links.back()->sideB(), "host");
            speakerSide->onMessage = [&pongs, &chunks](const Message& message, int64_t) {
                ++(message.is<Pong>() ? pongs : chunks);
            };
            hostSide->start();
            speakerSide->start();
            const auto burst = [&speaker,
                                weak = std::weak_ptr<Connection>(speakerSide)](int count) {
                for (int k = 0; k < count; ++k) {
                    speaker.main().after(k * SyncProtocol::pingSpacingNs, [weak, k] {
                        if (auto connection = weak.lock()) {
                            connection->enqueue(OutboundFrame::ping(static_cast<uint32_t>(k)));
                        }
                    });
                }
            };
            // Speakers join 300 ms apart.
            speaker.main().after(i * 300 * nsPerMs, [burst, &speaker, &timers] {
                burst(SyncProtocol::initialPingBurst);
                timers.emplace_back();
                timers.back() = speaker.main().every(SyncProtocol::pingPeriodNs, [burst] {
                    burst(SyncProtocol::periodicPingBurst);
                });
            });
            connections.push_back(hostSide);
            connections.push_back(speakerSide);
        }
        const auto start = Clock::now();
        world.runUntil(simulatedNs);
        const double wall = std::chrono::duration<double>(Clock::now() - start).count();
        wallSeconds += wall;
        state.SetIterationTime(wall);
        timers.clear();
        for (auto& connection : connections) {
            connection->close("done");
        }
        world.runUntilIdle(SimIdleLimit{10'000 * nsPerMs});
    }
    const double simulatedSeconds =
        static_cast<double>(simulatedNs) / 1e9 * static_cast<double>(state.iterations());
    state.counters["sim_speed_x"] = simulatedSeconds / wallSeconds;
    state.counters["pongs"] = static_cast<double>(pongs);
    state.counters["chunks"] = static_cast<double>(chunks);
}
BENCHMARK(simParty)->UseManualTime()->Iterations(2)->Unit(benchmark::kMillisecond);

} // namespace
} // namespace merriphonic

int main(int argc, char** argv) {
    using merriphonic::bench::Figures;
    using merriphonic::bench::Results;
    int qtArgc = 1;
    QCoreApplication app(qtArgc, argv);
    (void)merriphonic::mainLoop();
    return merriphonic::bench::runGroup(argc, argv, "transport", [](const Results& r) {
        Figures f;
        auto get = [&](const char* name) {
            auto it = r.find(name);
            return it == r.end() ? merriphonic::bench::Result{} : it->second;
        };
        const auto counter = [&](const char* name, const char* key) {
            const auto result = get(name);
            const auto it = result.counters.find(key);
            return it == result.counters.end() ? 0.0 : it->second;
        };
        f["transport.bulk_mb_s"] = counter("bulkThroughput/iterations:1", "connection_mb_s");
        f["transport.raw_write_mb_s"] = counter("bulkThroughput/iterations:1", "raw_mb_s");
        f["transport.bulk_vs_raw_ratio"] = counter("bulkThroughput/iterations:1", "ratio");
        f["transport.pong_p50_us"] = counter("pongUnderBulk/0/iterations:1", "p50_us");
        f["transport.pong_p99_us"] = counter("pongUnderBulk/0/iterations:1", "p99_us");
        f["transport.pong_small_sndbuf_p50_us"] =
            counter("pongUnderBulk/16384/iterations:1", "p50_us");
        f["transport.pong_small_sndbuf_p99_us"] =
            counter("pongUnderBulk/16384/iterations:1", "p99_us");
        f["transport.sim_speed_x"] = counter("simParty/iterations:2/manual_time", "sim_speed_x");
        return f;
    });
}
