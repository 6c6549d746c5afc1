#include "connection_harness.h"

#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <utility>

#include "platform/qt/fd_byte_stream.h"
#include "platform/qt/stream_thread.h"
#include "platform/qt/system_clock.h"
#include "platform/qt/thread_pool_background_work.h"
#include "platform/sim/memory_prefs_store.h"
#include "qt_main_loop.h"

namespace merriphonic::transport_test {

namespace {

constexpr int64_t ms = 1'000'000;

// A device of this process: the real clock, the test's main loop, the process-wide stream
// thread, and a capturing log.
struct ThreadedDevice {
    explicit ThreadedDevice(const std::string& name)
        : sink(std::make_shared<CaptureLogSink>(name)), log(sink) {}

    SystemClock clock;
    ThreadPoolBackgroundWork background{mainLoop(), 1};
    std::shared_ptr<CaptureLogSink> sink;
    Log log;
    MemoryPrefsStore prefs;
    DeviceContext context{clock, mainLoop(), StreamThread::shared(), background, log, prefs, {}};
};

// A socketpair; the stream socket's send buffers are kept small so that writes are cut short,
// and the SEQPACKET one caps writes at an L2CAP-like MTU.
class SocketHarness final : public Harness {
public:
    explicit SocketHarness(int type) {
        std::array<int, 2> fds{-1, -1};
        EXPECT_EQ(::socketpair(AF_UNIX, type, 0, fds.data()), 0);
        FdStreamOptions options;
        if (type == SOCK_SEQPACKET) {
            options = FdStreamOptions{true, 672, 672};
        } else {
            const int size = 8192;
            for (int fd : fds) {
                ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
            }
        }
        hostStreams_ = makeFdStreamPair(fds[0], StreamThread::shared(), options);
        peerStreams_ = makeFdStreamPair(fds[1], StreamThread::shared(), options);
    }
    ~SocketHarness() override { drain(); }

    DeviceContext& host() override { return host_.context; }
    DeviceContext& peer() override { return peer_.context; }
    CaptureLogSink& hostLog() override { return *host_.sink; }
    StreamPair hostStreams() override { return hostStreams_; }
    StreamPair peerStreams() override { return peerStreams_; }
    bool runUntil(const std::function<bool()>& done) override { return runMainLoopUntil(done); }
    void drain() override {
        // Both loops are FIFO: once a task posted now has come back, all before it have run.
        auto done = std::make_shared<std::atomic<bool>>(false);
        StreamThread::shared().post([done] { mainLoop().post([done] { done->store(true); }); });
        runMainLoopUntil([&] { return done->load(); });
    }
    void later(int64_t delayNs, Task task) override {
        (void)delayNs; // real time needs no spacing: the pieces travel as they will
        mainLoop().post(std::move(task));
    }

private:
    ThreadedDevice host_{"host"};
    ThreadedDevice peer_{"peer"};
    StreamPair hostStreams_;
    StreamPair peerStreams_;
};

} // namespace

std::string linkName(LinkKind kind) {
    switch (kind) {
    case LinkKind::simStream:
        return "SimStream";
    case LinkKind::simMessages:
        return "SimMessages";
    case LinkKind::socketStream:
        return "SocketStream";
    case LinkKind::socketSeqpacket:
        return "SocketSeqpacket";
    }
    return "?";
}

std::shared_ptr<Recorder> record(Connection& connection) {
    auto recorder = std::make_shared<Recorder>();
    const std::weak_ptr<Recorder> weak = recorder;
    connection.onMessage = [weak](Message message, int64_t receiveNs) {
        if (auto r = weak.lock()) {
            r->messageAfterClose = r->messageAfterClose || !r->closes.empty();
            r->messages.push_back(std::move(message));
            r->receiveNs.push_back(receiveNs);
            if (r->onEach) {
                r->onEach(r->messages.back());
            }
        }
    };
    connection.onClose = [weak](std::string reason) {
        if (auto r = weak.lock()) {
            r->closes.push_back(std::move(reason));
        }
    };
    return recorder;
}

OutboundFrame rawBytes(Bytes bytes) {
    return {std::move(bytes), std::nullopt, false, "raw"};
}

std::unique_ptr<Harness> Harness::make(LinkKind kind) {
    switch (kind) {
    case LinkKind::simStream:
        return std::make_unique<SimHarness>(SimHarness::streamConfig());
    case LinkKind::simMessages:
        return std::make_unique<SimHarness>(SimHarness::messageConfig());
    case LinkKind::socketStream:
        return std::make_unique<SocketHarness>(SOCK_STREAM);
    case LinkKind::socketSeqpacket:
        return std::make_unique<SocketHarness>(SOCK_SEQPACKET);
    }
    return nullptr;
}

SimHarness::SimHarness(SimLinkConfig config)
    : hostDevice(world, SimDeviceConfig{"host", 3'000 * ms, 40.0}),
      peerDevice(world, SimDeviceConfig{"peer", 11'000 * ms, -25.0}),
      link(world, hostDevice.streams(), peerDevice.streams(), std::move(config)) {}

SimLinkConfig SimHarness::streamConfig() {
    SimLinkConfig config;
    config.latencyNs = 2 * ms;
    config.bytesPerSecond = 2'000'000;
    config.sendBufferBytes = 10'000; // two and a half chunks: writes are cut short
    config.receiveBufferBytes = 32'768;
    config.segmentBytes = 1'500;
    return config;
}

SimLinkConfig SimHarness::messageConfig() {
    SimLinkConfig config = streamConfig();
    config.maxMessageSize = 672;
    return config;
}

bool SimHarness::runUntil(const std::function<bool()>& done) {
    const int64_t limit = world.nowNs() + 600'000 * ms;
    while (!done()) {
        const std::optional<int64_t> next = world.nextEventNs();
        if (!next || *next > limit) {
            return false;
        }
        world.step();
    }
    return true;
}

void SimHarness::drain() {
    world.runUntilIdle(SimIdleLimit{10'000 * ms});
}

void SimHarness::later(int64_t delayNs, Task task) {
    peerDevice.main().after(delayNs, std::move(task));
}

} // namespace merriphonic::transport_test
