#include "transport/connection.h"

#include <algorithm>
#include <utility>

#include "core/frame_codec.h"
#include "core/protocol_error.h"
#include "core/sync_protocol.h"
#include "core/text_limits.h"
#include "core/uuid.h"

namespace merriphonic {

namespace {

constexpr LogCategory ble = LogCategory::ble;
// The length field and the most it may announce.
constexpr size_t maxWholeFrameBytes = 4 + size_t{SyncProtocol::maxFrameLength};

std::string describe(const std::string& error) {
    return error.empty() ? "unknown" : error;
}

} // namespace

std::shared_ptr<Connection> Connection::create(DeviceContext& context, StreamPair streams,
                                               std::string label, std::string id) {
    // Not make_shared: the constructor is private.
    return std::shared_ptr<Connection>(
        new Connection(context, std::move(streams), std::move(label), std::move(id)));
}

Connection::Connection(DeviceContext& context, StreamPair streams, std::string label,
                       std::string id)
    : clock_(context.clock), main_(context.main), streams_(context.streams), log_(context.log),
      id_(id.empty() ? randomUuid() : std::move(id)), label_(std::move(label)),
      owner_(std::move(streams.owner)), input_(std::move(streams.input)),
      output_(std::move(streams.output)), readBuffer_(readBufferSize) {}

Connection::~Connection() {
    if (!closed_.load(std::memory_order_acquire)) {
        // Dropped while open: release the channel anyway, on the loop its streams belong to.
        streams_.runOrPost([input = input_, output = output_, owner = owner_] {
            input->setEventHandler({});
            input->close();
            output->setEventHandler({});
            output->close();
        });
    }
    log_.debug(ble, "[{}] connection deallocated", label_);
}

void Connection::start() {
    streams_.runOrPost([self = shared_from_this()] {
        if (self->started_ || self->isClosed()) {
            return;
        }
        self->started_ = true;
        // The streams belong to the connection: their handlers must not keep it alive.
        const std::weak_ptr<Connection> weak = self;
        self->input_->setEventHandler([weak](StreamEvent event) {
            if (auto strong = weak.lock()) {
                strong->onInputEvent(event);
            }
        });
        self->output_->setEventHandler([weak](StreamEvent event) {
            if (auto strong = weak.lock()) {
                strong->onOutputEvent(event);
            }
        });
        self->input_->open();
        self->output_->open();
        self->log_.info(ble, "[{}] streams opened", self->label_);
    });
}

void Connection::enqueue(OutboundFrame frame) {
    streams_.runOrPost([self = shared_from_this(), frame = std::move(frame)]() mutable {
        if (self->isClosed() || self->closeWhenFlushed_) {
            return; // nothing follows a BYE
        }
        self->queueFrame(std::move(frame));
        self->pumpWrites();
    });
}

void Connection::setBulkSource(std::weak_ptr<BulkSource> source) {
    streams_.runOrPost([self = shared_from_this(), source = std::move(source)]() mutable {
        if (self->isClosed()) {
            return;
        }
        self->bulkSource_ = std::move(source);
        self->pumpWrites();
    });
}

void Connection::onStreamThread(Task task) {
    streams_.runOrPost([self = shared_from_this(), task = std::move(task)] {
        task();
        if (!self->isClosed()) {
            self->pumpWrites();
        }
    });
}

void Connection::close(std::string reason) {
    streams_.runOrPost(
        [self = shared_from_this(), reason = std::move(reason)] { self->shutdown(reason); });
}

void Connection::sendByeAndClose(std::string reason) {
    streams_.runOrPost([self = shared_from_this(), reason = std::move(reason)] {
        // A second call changes nothing: the first BYE and its deadline stand.
        if (self->isClosed() || self->closeWhenFlushed_) {
            return;
        }
        self->closeWhenFlushed_ = true;
        // Track data behind a BYE would only be thrown away by the peer.
        self->queue_.removeAllBulk();
        self->heldBackBulk_.reset();
        self->queueFrame(OutboundFrame(Message(Bye{})));
        const std::weak_ptr<Connection> weak = self;
        self->byeTimer_ = self->streams_.after(byeDeadlineNs, [weak, reason] {
            if (auto strong = weak.lock()) {
                strong->shutdown(reason);
            }
        });
        self->pumpWrites();
    });
}

void Connection::onInputEvent(StreamEvent event) {
    switch (event) {
    case StreamEvent::bytesAvailable:
        readAvailable();
        break;
    case StreamEvent::error:
        shutdown("stream error: " + describe(input_->errorDescription()));
        break;
    case StreamEvent::end:
        shutdown("stream ended (EOF)");
        break;
    case StreamEvent::openCompleted:
    case StreamEvent::spaceAvailable:
        break;
    }
}

void Connection::onOutputEvent(StreamEvent event) {
    switch (event) {
    case StreamEvent::spaceAvailable:
        pumpWrites();
        break;
    case StreamEvent::error:
        shutdown("stream error: " + describe(output_->errorDescription()));
        break;
    case StreamEvent::end:
        shutdown("stream ended (EOF)");
        break;
    case StreamEvent::openCompleted:
    case StreamEvent::bytesAvailable:
        break;
    }
}

void Connection::readAvailable() {
    if (isClosed() || reading_) {
        return;
    }
    reading_ = true;
    readLoop();
    reading_ = false;
    if (writeFailure_) {
        shutdown(*writeFailure_); // a no-op when the input closed first, with its own reason
    }
}

void Connection::writeFailed() {
    if (!writeFailure_) {
        writeFailure_ = "write error: " + describe(output_->errorDescription());
    }
    // A peer that went away may have sent its last messages (a BYE) before it did: they are
    // still to be read. A read loop further up the stack closes the connection when it is done.
    readAvailable();
}

void Connection::readLoop() {
    while (input_->hasBytesAvailable()) {
        const int64_t count = input_->read(readBuffer_.data(), readBuffer_.size());
        if (count < 0) {
            shutdown("read error: " + describe(input_->errorDescription()));
            return;
        }
        if (count == 0) {
            shutdown("stream ended (EOF)");
            return;
        }
        bytesIn_.fetch_add(count, std::memory_order_relaxed);
        std::vector<RawFrame> frames;
        try {
            frames = reassembler_.push(ByteView(readBuffer_.data(), static_cast<size_t>(count)));
        } catch (const ProtocolError& error) {
            log_.error(ble, "[{}] bad frame: {} — closing", label_, error.description());
            shutdown("protocol error: " + error.description());
            return;
        }
        for (const RawFrame& frame : frames) {
            handle(frame);
            if (isClosed()) {
                return;
            }
        }
    }
}

void Connection::handle(const RawFrame& frame) {
    // Before anything else, so that the time excludes decoding and every hop that follows.
    const int64_t receiveNs = clock_.nowNs();
    std::optional<Message> decoded;
    try {
        decoded = FrameCodec::decode(frame.type, frame.payload);
    } catch (const ProtocolError& error) {
        log_.error(ble, "[{}] malformed 0x{:x}: {} — closing", label_,
                   static_cast<unsigned>(frame.type), error.description());
        shutdown("protocol error: " + error.description());
        return;
    }
    Message& message = *decoded;
    TextLimits::apply(message); // what a peer may make this side hold or show
    if (const Ping* ping = message.as<Ping>();
        ping != nullptr && autoPong.load(std::memory_order_relaxed)) {
        if (!closeWhenFlushed_ && queue_.controlCount() < maxWaitingForPong) {
            queueFrame(OutboundFrame::pong(ping->seq, ping->t1, receiveNs));
            pumpWrites();
        }
        return;
    }
    if (const Unknown* unknown = message.as<Unknown>(); unknown != nullptr) {
        log_.debug(ble, "[{}] ignoring unknown type 0x{:x} ({} B)", label_,
                   static_cast<unsigned>(unknown->type), unknown->payload.size());
        return;
    }
    main_.post([weak = weak_from_this(), message = std::move(message), receiveNs]() mutable {
        auto self = weak.lock();
        if (!self || !self->onMessage) {
            return;
        }
        // A copy: the handler may replace or clear itself.
        const MessageHandler handler = self->onMessage;
        handler(std::move(message), receiveNs);
    });
}

void Connection::pumpWrites() {
    // A write loop further up the stack (a bulk source that enqueued while being pulled)
    // picks up whatever this call was about.
    if (isClosed() || writing_ || writeFailure_ || !output_->hasSpaceAvailable()) {
        return;
    }
    writing_ = true;
    writeLoop();
    writing_ = false;
    if (isClosed()) {
        releaseSendState();
    }
}

void Connection::writeLoop() {
    while (true) {
        if (!current_) {
            std::optional<OutboundFrame> next = nextFrame();
            if (isClosed()) {
                return; // the bulk source closed the connection
            }
            if (!next) {
                if (!queue_.isEmpty()) {
                    continue; // the bulk source queued something instead
                }
                if (closeWhenFlushed_) {
                    shutdown("closed after BYE");
                }
                return;
            }
            if (next->bytes.empty()) {
                continue; // nothing to write; it would otherwise never complete
            }
            if (next->bytes.size() > maxWholeFrameBytes) {
                // The peer would drop the link over it: the frame goes, the link stays.
                log_.error(ble, "[{}] not sending {}: {} B is over the frame limit", label_,
                           next->label, next->bytes.size());
                continue;
            }
            current_ = std::move(next);
            currentOffset_ = 0;
        }
        const bool first = currentOffset_ == 0;
        if (first && current_->stampOffset) {
            // Right before the first byte leaves: a true send time.
            current_->stamp(clock_.nowNs());
        }
        const Bytes& bytes = current_->bytes;
        const int64_t count =
            output_->write(bytes.data() + currentOffset_, bytes.size() - currentOffset_);
        if (count < 0) {
            writeFailed();
            return;
        }
        if (count == 0) {
            // Full: spaceAvailable follows. A frame not yet begun waits aside, so that control
            // frames queued meanwhile can still overtake a bulk one.
            if (first) {
                (currentIsControl_ ? heldBackControl_ : heldBackBulk_) = std::move(current_);
                current_.reset();
            }
            return;
        }
        bytesOut_.fetch_add(count, std::memory_order_relaxed);
        currentOffset_ += static_cast<size_t>(count);
        if (currentOffset_ >= bytes.size()) {
            current_.reset();
        }
    }
}

std::optional<OutboundFrame> Connection::nextFrame() {
    // Frames that found the output full come first within their kind: a control frame before
    // every other, a bulk frame only once no control frame waits.
    if (heldBackControl_) {
        currentIsControl_ = true;
        return std::exchange(heldBackControl_, std::nullopt);
    }
    if (heldBackBulk_ && queue_.controlCount() == 0) {
        currentIsControl_ = false;
        return std::exchange(heldBackBulk_, std::nullopt);
    }
    const size_t controlBefore = queue_.controlCount();
    std::optional<OutboundFrame> frame = queue_.next([this]() -> std::optional<OutboundFrame> {
        if (heldBackBulk_) {
            return std::nullopt; // one pulled frame at a time
        }
        return pullBulk();
    });
    currentIsControl_ = queue_.controlCount() < controlBefore;
    if (frame && currentIsControl_) {
        queuedControlBytes_ -= std::min(queuedControlBytes_, frame->bytes.size());
    }
    return frame;
}

void Connection::queueFrame(OutboundFrame frame) {
    if (!frame.isBulk) {
        queuedControlBytes_ += frame.bytes.size();
        if (queuedControlBytes_ > maxQueuedControlBytes) {
            log_.error(ble, "[{}] {} B of control frames waiting — closing", label_,
                       queuedControlBytes_);
            shutdown("send queue full: the peer is not reading");
            return;
        }
    }
    queue_.enqueue(std::move(frame));
}

std::optional<OutboundFrame> Connection::pullBulk() {
    if (closeWhenFlushed_) {
        return std::nullopt; // nothing follows a BYE
    }
    const std::shared_ptr<BulkSource> source = bulkSource_.lock();
    if (!source) {
        return std::nullopt;
    }
    return source->nextBulkFrame();
}

void Connection::shutdown(const std::string& reason) {
    if (isClosed()) {
        return; // the first reason wins
    }
    closed_.store(true, std::memory_order_release);
    input_->setEventHandler({});
    input_->close();
    output_->setEventHandler({});
    output_->close();
    bulkSource_.reset();
    byeTimer_.cancel();
    if (!writing_) {
        releaseSendState();
    }
    log_.info(ble, "[{}] closed: {} (in {} B, out {} B)", label_, reason, bytesIn(), bytesOut());
    main_.post([self = shared_from_this(), reason] {
        // Cleared here, on the main loop, so deliveries posted before the close still arrive
        // and none after it. Taken out first: the handlers may drop the last reference to
        // what they capture.
        const CloseHandler closeHandler = std::exchange(self->onClose, nullptr);
        const MessageHandler messageHandler = std::exchange(self->onMessage, nullptr);
        if (closeHandler) {
            closeHandler(reason);
        }
    });
}

void Connection::releaseSendState() {
    queue_ = OutboundQueue();
    queuedControlBytes_ = 0;
    current_.reset();
    heldBackControl_.reset();
    heldBackBulk_.reset();
    currentOffset_ = 0;
}

} // namespace merriphonic
