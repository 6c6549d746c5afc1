#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/message.h"
#include "core/outbound_frame.h"
#include "platform/byte_stream.h"
#include "platform/device_context.h"
#include "platform/sim/capture_log_sink.h"
#include "platform/sim/sim_device.h"
#include "platform/sim/sim_link.h"
#include "platform/sim/sim_world.h"
#include "transport/connection.h"

namespace merriphonic::transport_test {

// The links every behaviour is checked over: simulated ones in virtual time, and real
// socketpairs driven by the real stream thread.
enum class LinkKind { simStream, simMessages, socketStream, socketSeqpacket };
std::string linkName(LinkKind kind);

// What one connection hands its owner, collected on the main loop.
struct Recorder {
    std::vector<Message> messages;
    std::vector<int64_t> receiveNs;
    std::vector<std::string> closes;
    bool messageAfterClose = false;
    std::function<void(const Message&)> onEach; // called after each message is recorded

    template <class T>
    [[nodiscard]] size_t count() const {
        size_t n = 0;
        for (const Message& message : messages) {
            n += message.is<T>() ? 1 : 0;
        }
        return n;
    }
};

// Sets the connection's callbacks to fill a recorder, captured weakly.
std::shared_ptr<Recorder> record(Connection& connection);

// Arbitrary bytes sent as they are: pieces of frames, bad headers.
OutboundFrame rawBytes(Bytes bytes);

// Two devices joined by one channel: "host", whose connection is under test, and "peer".
class Harness {
public:
    virtual ~Harness() = default;
    static std::unique_ptr<Harness> make(LinkKind kind);

    virtual DeviceContext& host() = 0;
    virtual DeviceContext& peer() = 0;
    virtual CaptureLogSink& hostLog() = 0;
    virtual StreamPair hostStreams() = 0;
    virtual StreamPair peerStreams() = 0;
    // Runs the loops until done() holds on the main loop; false if it never does.
    virtual bool runUntil(const std::function<bool()>& done) = 0;
    // Lets every task already handed to the loops finish.
    virtual void drain() = 0;
    // Runs a task on the peer's main loop after a delay (in virtual time for simulated links).
    virtual void later(int64_t delayNs, Task task) = 0;
};

// A simulated channel between two simulated devices with skewed clocks.
class SimHarness final : public Harness {
public:
    explicit SimHarness(SimLinkConfig config);

    DeviceContext& host() override { return hostDevice.context(); }
    DeviceContext& peer() override { return peerDevice.context(); }
    CaptureLogSink& hostLog() override { return hostDevice.logSink(); }
    StreamPair hostStreams() override { return link.sideA(); }
    StreamPair peerStreams() override { return link.sideB(); }
    bool runUntil(const std::function<bool()>& done) override;
    void drain() override;
    void later(int64_t delayNs, Task task) override;

    static SimLinkConfig streamConfig();
    static SimLinkConfig messageConfig();

    SimWorld world{7};
    SimDevice hostDevice;
    SimDevice peerDevice;
    SimLink link;
};

} // namespace merriphonic::transport_test
