#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/frame_reassembler.h"
#include "core/message.h"
#include "core/outbound_frame.h"
#include "core/outbound_queue.h"
#include "core/raw_frame.h"
#include "platform/byte_stream.h"
#include "platform/device_context.h"
#include "platform/run_loop.h"
#include "transport/bulk_source.h"

namespace merriphonic {

// A framed, bidirectional message link over one pair of byte streams (an opened channel).
//
// All stream work (reading, decoding, automatic PONG replies, writing, stamping, bulk pulls,
// shutdown) runs on the device's stream loop; messages and the close reason are handed to the
// owner on the main loop. Every public operation may be called from any thread.
//
// The owner sets autoPong, onMessage and onClose (and possibly a bulk source) before start().
// The connection holds the callbacks until it has closed: it clears them on the main loop, in
// the block that reports the close, so the callbacks should capture their owner weakly.
// Messages delivered before the close still reach onMessage; none arrive after onClose.
class Connection : public std::enable_shared_from_this<Connection> {
public:
    using MessageHandler = std::function<void(Message message, int64_t receiveNs)>;
    using CloseHandler = std::function<void(std::string reason)>;

    static constexpr size_t readBufferSize = 32'768;
    // How long sendByeAndClose waits for the BYE to leave before closing anyway.
    static constexpr int64_t byeDeadlineNs = 1'500'000'000;
    // Control frames waiting beyond this many bytes mean a peer that does not read: the link
    // closes rather than hold ever more of them.
    static constexpr size_t maxQueuedControlBytes = 1'048'576;
    // A PING is answered only while fewer control frames than this wait: a PONG behind them
    // would tell the peer nothing of the clock, and a flood of PINGs costs no memory.
    static constexpr size_t maxWaitingForPong = 64;

    // The streams must have been created for context.streams. The label names the connection
    // in every log line ("spk-1a2b", "host"). An empty id gives a fresh random UUID; a
    // simulation may pass its own to stay reproducible.
    static std::shared_ptr<Connection> create(DeviceContext& context, StreamPair streams,
                                              std::string label, std::string id = {});
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    [[nodiscard]] const std::string& id() const { return id_; }
    [[nodiscard]] const std::string& label() const { return label_; }

    // When set, a received PING is answered on the stream loop and not delivered.
    std::atomic<bool> autoPong{false};
    // Every delivered message with its receive time on the device clock; main loop.
    MessageHandler onMessage;
    // The close reason, once; main loop.
    CloseHandler onClose;

    // Takes over both streams' events and opens them. Once only.
    void start();
    // Queues a frame (control frames before bulk ones) and writes what the output takes.
    // Dropped once closed or once a BYE has been queued. A frame over the frame limit is
    // dropped (and logged) when its turn comes, so the peer never sees it.
    void enqueue(OutboundFrame frame);
    // Where bulk frames are pulled from when nothing is queued; an empty pointer for none.
    void setBulkSource(std::weak_ptr<BulkSource> source);
    // Runs the task on the stream loop, then (unless closed) the write loop, so that a bulk
    // source changed by the task is read from at once.
    void onStreamThread(Task task);
    // Closes at once with the reason.
    void close(std::string reason);
    // Sends a BYE and closes with "closed after BYE" once it is written, or with the reason
    // after byeDeadlineNs if it cannot be written by then. Nothing is sent after the BYE.
    void sendByeAndClose(std::string reason);

    // Totals of the bytes read and written so far; readable from any thread.
    [[nodiscard]] int64_t bytesIn() const { return bytesIn_.load(std::memory_order_relaxed); }
    [[nodiscard]] int64_t bytesOut() const { return bytesOut_.load(std::memory_order_relaxed); }
    // Whether the shutdown has begun (it is final); readable from any thread.
    [[nodiscard]] bool isClosed() const { return closed_.load(std::memory_order_acquire); }

private:
    Connection(DeviceContext& context, StreamPair streams, std::string label, std::string id);

    void onInputEvent(StreamEvent event);
    void onOutputEvent(StreamEvent event);
    void readAvailable();
    void readLoop();
    void handle(const RawFrame& frame);
    void pumpWrites();
    void writeLoop();
    // The channel refused a write: what the peer sent before it broke is read first.
    void writeFailed();
    std::optional<OutboundFrame> nextFrame();
    std::optional<OutboundFrame> pullBulk();
    // Queues a frame, closing the link when a peer leaves control frames piling up.
    void queueFrame(OutboundFrame frame);
    void shutdown(const std::string& reason);
    void releaseSendState();

    Clock& clock_;
    RunLoop& main_;
    RunLoop& streams_;
    const Log& log_;
    const std::string id_;
    const std::string label_;

    // Declared before the streams so that it outlives them.
    std::shared_ptr<void> owner_;
    std::shared_ptr<InputStream> input_;
    std::shared_ptr<OutputStream> output_;

    // Stream loop only.
    FrameReassembler reassembler_;
    OutboundQueue queue_;
    std::optional<OutboundFrame> current_;
    size_t currentOffset_ = 0;
    bool currentIsControl_ = false;
    // Frames whose first write found the output full. Not begun, so a held-back bulk frame
    // can still be overtaken by control frames.
    std::optional<OutboundFrame> heldBackControl_;
    std::optional<OutboundFrame> heldBackBulk_;
    std::weak_ptr<BulkSource> bulkSource_;
    bool started_ = false;
    bool closeWhenFlushed_ = false;
    bool writing_ = false; // a write loop is running further up the stack
    bool reading_ = false; // a read loop is running further up the stack
    // Why the channel refused a write; nothing more is written, and it closes for this reason
    // once what arrived has been read.
    std::optional<std::string> writeFailure_;
    size_t queuedControlBytes_ = 0; // of the control frames in queue_
    std::vector<uint8_t> readBuffer_;
    ScopedTimer byeTimer_;

    std::atomic<bool> closed_{false}; // written on the stream loop only
    std::atomic<int64_t> bytesIn_{0};
    std::atomic<int64_t> bytesOut_{0};
};

} // namespace merriphonic
