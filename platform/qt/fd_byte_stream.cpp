#include "platform/qt/fd_byte_stream.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <QObject>
#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/files.h"

namespace merriphonic {

namespace {

constexpr size_t defaultReceiveMtu = 65'536;
constexpr const char* notOpenText = "stream is not open";

bool wouldBlock(int error) {
    return error == EAGAIN || error == EWOULDBLOCK;
}

// The conditions of fd right now (no waiting).
short pollNow(int fd, short events) {
    pollfd entry{fd, events, 0};
    int ready = 0;
    do {
        ready = ::poll(&entry, 1, 0);
    } while (ready < 0 && errno == EINTR);
    return ready > 0 ? entry.revents : 0;
}

// Closing an L2CAP channel makes the peer's kernel discard what it has received for it but not
// yet handed to the peer's reader (and what still waits here for the peer's credits): a BYE
// written just before closing would rarely be seen. So the descriptor of a Bluetooth socket whose
// halves have closed stays open until the peer hangs up, which it does once it has read what it
// wanted, or until a limit passes.
constexpr int64_t lingerPollNs = 10'000'000;
constexpr int64_t lingerLimitNs = 2'000'000'000;

bool isBluetooth(int fd) {
    int domain = 0;
    socklen_t size = sizeof(domain);
    return ::getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &size) == 0 && domain == AF_BLUETOOTH;
}

void closeOncePeerIsGone(const std::shared_ptr<UniqueFd>& fd, RunLoop& streams, int64_t waitedNs) {
    const short gone = POLLRDHUP | POLLHUP | POLLERR | POLLNVAL;
    if (waitedNs >= lingerLimitNs || (pollNow(fd->get(), POLLRDHUP) & gone) != 0) {
        fd->close();
        return;
    }
    streams.after(lingerPollNs, [fd, &streams, waitedNs] {
        closeOncePeerIsGone(fd, streams, waitedNs + lingerPollNs);
    });
}

// A notifier belongs to the stream thread: it is switched off and deleted there, from a task
// of its own, because the notifier may be the one whose signal is being handled.
void dispose(std::unique_ptr<QSocketNotifier> notifier, RunLoop& streams) {
    if (!notifier) {
        return;
    }
    if (streams.isCurrent()) {
        notifier->setEnabled(false);
    }
    QSocketNotifier* orphan = notifier.release();
    streams.post([orphan] { delete orphan; });
}

enum class HalfState { idle, opening, open, closed };

// What both halves share: handler, notifier, state and last error.
class FdHalf {
public:
    explicit FdHalf(std::shared_ptr<FdByteStream> core) : core_(std::move(core)) {}
    ~FdHalf() { dispose(std::move(notifier_), core_->streams()); }
    FdHalf(const FdHalf&) = delete;
    FdHalf& operator=(const FdHalf&) = delete;

protected:
    [[nodiscard]] int fd() const { return core_->fd(); }
    [[nodiscard]] bool seqpacket() const { return core_->options().seqpacket; }

    void deliver(StreamEvent event) {
        if (state_ != HalfState::open) {
            return;
        }
        // A copy: the handler may replace or clear itself (a connection shutting down).
        const StreamEventHandler handler = handler_;
        if (handler) {
            handler(event);
        }
    }

    // Creates the notifier (disabled) and posts the open completion, so that openCompleted is
    // always the first event.
    template <typename Self>
    void start(const std::shared_ptr<Self>& self, QSocketNotifier::Type type) {
        if (state_ != HalfState::idle) {
            return;
        }
        state_ = HalfState::opening;
        notifier_ = std::make_unique<QSocketNotifier>(fd(), type);
        notifier_->setEnabled(false);
        const std::weak_ptr<Self> weak = self;
        QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(), [weak] {
            if (auto strong = weak.lock()) {
                strong->onNotifier();
            }
        });
        core_->streams().post([weak] {
            if (auto strong = weak.lock()) {
                strong->finishOpen();
            }
        });
    }

    void finish() {
        if (state_ == HalfState::closed) {
            return;
        }
        state_ = HalfState::closed;
        dispose(std::move(notifier_), core_->streams());
        handler_ = nullptr;
        core_->halfClosed();
    }

    void setNotifierEnabled(bool enabled) const {
        if (notifier_) {
            notifier_->setEnabled(enabled);
        }
    }

    int64_t fail(int error) {
        failed_ = true;
        error_ = errnoText(error);
        setNotifierEnabled(false);
        return -1;
    }

    int64_t notOpen() {
        error_ = notOpenText;
        return -1;
    }

    std::shared_ptr<FdByteStream> core_;
    StreamEventHandler handler_;
    std::unique_ptr<QSocketNotifier> notifier_;
    HalfState state_ = HalfState::idle;
    bool failed_ = false;
    std::string error_;
};

class FdInput final : public InputStream,
                      public FdHalf,
                      public std::enable_shared_from_this<FdInput> {
public:
    using FdHalf::FdHalf;

    void setEventHandler(StreamEventHandler handler) override { handler_ = std::move(handler); }

    void open() override {
        core_->streams().runOrPost([weak = weak_from_this()] {
            if (auto self = weak.lock()) {
                self->start(self, QSocketNotifier::Read);
            }
        });
    }

    void close() override {
        core_->streams().runOrPost([weak = weak_from_this()] {
            if (auto self = weak.lock()) {
                self->pending_.clear();
                self->pendingBegin_ = 0;
                self->finish();
            }
        });
    }

    [[nodiscard]] bool hasBytesAvailable() const override {
        if (state_ != HalfState::open) {
            return false;
        }
        if (hasPending() || atEnd_ || failed_ || heldError_ != 0) {
            return true;
        }
        if ((pollNow(fd(), POLLIN) & (POLLIN | POLLHUP | POLLERR)) == 0) {
            return false;
        }
        return !seqpacket() || !onlyEmptyMessagesWaited();
    }

    int64_t read(uint8_t* buffer, size_t maxLength) override {
        if (state_ != HalfState::open) {
            return notOpen();
        }
        if (failed_) {
            return -1;
        }
        if (hasPending()) {
            return takePending(buffer, maxLength);
        }
        if (atEnd_ || maxLength == 0) {
            return 0;
        }
        const size_t messageSize = core_->receiveBufferSize();
        if (!seqpacket() || maxLength >= messageSize) {
            return receive(buffer, maxLength);
        }
        // A message is read whole or its tail is lost: take it into a buffer of the receive
        // MTU and hand it out from there.
        pending_.resize(messageSize);
        const int64_t count = receive(pending_.data(), messageSize);
        if (count <= 0) {
            pending_.clear();
            return count;
        }
        pending_.resize(static_cast<size_t>(count));
        pendingBegin_ = 0;
        return takePending(buffer, maxLength);
    }

    [[nodiscard]] std::string errorDescription() const override { return error_; }

    void finishOpen() {
        if (state_ != HalfState::opening) {
            return;
        }
        state_ = HalfState::open;
        deliver(StreamEvent::openCompleted);
        rearm();
    }

    // The socket became readable: data, the end or an error. Reported once; the notifier
    // stays off until the next read so that unread data does not spin the loop.
    void onNotifier() {
        if (state_ != HalfState::open) {
            return;
        }
        setNotifierEnabled(false);
        uint8_t probe = 0;
        while (true) {
            const ssize_t count = ::recv(fd(), &probe, 1, MSG_PEEK | MSG_DONTWAIT);
            if (count > 0) {
                deliver(StreamEvent::bytesAvailable);
                return;
            }
            if (count == 0) {
                if (heldError_ != 0) {
                    fail(heldError_);
                    reportEnd(StreamEvent::error);
                    return;
                }
                if (seqpacket() && !peerHungUp()) {
                    // An empty message, not the end: drop it.
                    (void)::recv(fd(), &probe, 1, MSG_DONTWAIT);
                    rearm();
                    return;
                }
                atEnd_ = true;
                reportEnd(StreamEvent::end);
                return;
            }
            if (errno == EINTR) {
                continue;
            }
            if (holdError(errno)) {
                continue;
            }
            if (wouldBlock(errno) && heldError_ == 0) {
                rearm();
                return;
            }
            // The kernel reports a socket error once; keep it for the reads to come.
            fail(heldError_ != 0 ? heldError_ : errno);
            reportEnd(StreamEvent::error);
            return;
        }
    }

private:
    [[nodiscard]] bool hasPending() const { return pendingBegin_ < pending_.size(); }

    // A message socket reports its error ahead of the messages still queued: a peer that closes
    // with bytes of ours unread resets the channel, and its last messages (a BYE) would be lost
    // behind the reset. So the first error is held while what is queued is read; it is reported
    // once nothing is left. True when the error was taken to be held.
    bool holdError(int error) {
        if (!seqpacket() || heldError_ != 0 || error == EINTR || wouldBlock(error)) {
            return false;
        }
        heldError_ = error;
        return true;
    }

    // Drops the empty messages at the head of the socket's queue: they carry no data, and a read
    // promised by them would find nothing. True when nothing else waited behind them.
    [[nodiscard]] bool onlyEmptyMessagesWaited() const {
        uint8_t probe = 0;
        while (true) {
            const ssize_t count = ::recv(fd(), &probe, 1, MSG_PEEK | MSG_DONTWAIT);
            if (count == 0 && !peerHungUp()) {
                (void)::recv(fd(), &probe, 1, MSG_DONTWAIT);
                continue;
            }
            if (count < 0 && errno == EINTR) {
                continue;
            }
            return count < 0 && wouldBlock(errno);
        }
    }

    [[nodiscard]] bool peerHungUp() const {
        return (pollNow(fd(), POLLRDHUP) & (POLLRDHUP | POLLHUP)) != 0;
    }

    void rearm() {
        if (state_ == HalfState::open && !atEnd_ && !failed_) {
            setNotifierEnabled(true);
        }
    }

    void reportEnd(StreamEvent event) {
        if (endReported_) {
            return;
        }
        endReported_ = true;
        deliver(event);
    }

    int64_t receive(uint8_t* buffer, size_t length) {
        while (true) {
            iovec vector{buffer, length};
            msghdr header{};
            header.msg_iov = &vector;
            header.msg_iovlen = 1;
            const ssize_t count = ::recvmsg(fd(), &header, MSG_DONTWAIT);
            if (count > 0) {
                if ((header.msg_flags & MSG_TRUNC) != 0) {
                    // The peer sent more than the receive MTU allows: bytes were lost.
                    endReported_ = true;
                    return fail(EMSGSIZE);
                }
                rearm();
                if (heldError_ != 0) {
                    schedulePendingCheck(); // the held error is still to be read
                }
                return count;
            }
            if (count == 0 && heldError_ == 0) {
                if (seqpacket() && !peerHungUp()) {
                    continue; // an empty message
                }
                atEnd_ = true;
                endReported_ = true;
                return 0;
            }
            if (count < 0 && (errno == EINTR || holdError(errno))) {
                continue;
            }
            if (count < 0 && wouldBlock(errno) && heldError_ == 0) {
                // Read without bytesAvailable: nothing is lost, nothing is sticky.
                rearm();
                error_ = errnoText(errno);
                return -1;
            }
            endReported_ = true;
            return fail(heldError_ != 0 ? heldError_ : errno);
        }
    }

    int64_t takePending(uint8_t* buffer, size_t maxLength) {
        const size_t count = std::min(maxLength, pending_.size() - pendingBegin_);
        std::memcpy(buffer, pending_.data() + pendingBegin_, count);
        pendingBegin_ += count;
        if (!hasPending()) {
            pending_.clear();
            pendingBegin_ = 0;
        } else if (count > 0) {
            schedulePendingCheck();
        }
        return static_cast<int64_t>(count);
    }

    // Bytes held back from a message, and a held error, do not make the socket readable: tell
    // the reader about them if it stops before taking them all.
    void schedulePendingCheck() {
        if (pendingCheckPosted_) {
            return;
        }
        pendingCheckPosted_ = true;
        core_->streams().post([weak = weak_from_this()] {
            if (auto self = weak.lock()) {
                self->pendingCheckPosted_ = false;
                if (self->hasPending() || (self->heldError_ != 0 && !self->failed_)) {
                    self->deliver(StreamEvent::bytesAvailable);
                }
            }
        });
    }

    bool atEnd_ = false;
    bool endReported_ = false;
    bool pendingCheckPosted_ = false;
    int heldError_ = 0;
    std::vector<uint8_t> pending_;
    size_t pendingBegin_ = 0;
};

class FdOutput final : public OutputStream,
                       public FdHalf,
                       public std::enable_shared_from_this<FdOutput> {
public:
    using FdHalf::FdHalf;

    void setEventHandler(StreamEventHandler handler) override { handler_ = std::move(handler); }

    void open() override {
        core_->streams().runOrPost([weak = weak_from_this()] {
            if (auto self = weak.lock()) {
                self->start(self, QSocketNotifier::Write);
            }
        });
    }

    void close() override {
        core_->streams().runOrPost([weak = weak_from_this()] {
            if (auto self = weak.lock()) {
                self->finish();
            }
        });
    }

    // When there is no room, the notifier is switched on, so spaceAvailable follows as soon
    // as there is.
    [[nodiscard]] bool hasSpaceAvailable() const override {
        if (state_ != HalfState::open) {
            return false;
        }
        if (failed_ || (pollNow(fd(), POLLOUT) & (POLLOUT | POLLERR | POLLHUP)) != 0) {
            return true;
        }
        setNotifierEnabled(true);
        return false;
    }

    int64_t write(const uint8_t* buffer, size_t length) override {
        if (state_ != HalfState::open) {
            return notOpen();
        }
        if (failed_) {
            return -1;
        }
        if (length == 0) {
            return 0;
        }
        const size_t sendMtu = core_->options().sendMtu;
        const size_t count = seqpacket() && sendMtu > 0 ? std::min(length, sendMtu) : length;
        // A Bluetooth socket splits a message into packets and charges each, with its
        // bookkeeping, to the send buffer; it refuses the whole message when they do not all
        // fit, and poll still reports room. So a refusal by a buffer found empty and writable
        // (no wait for the peer's credits) just before the send means the message never fits:
        // the buffer grows, up to the system's limit.
        bool emptyBeforeSend = false;
        while (true) {
            const ssize_t sent = ::send(fd(), buffer, count, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (sent >= 0) {
                if (static_cast<size_t>(sent) < count) {
                    setNotifierEnabled(true);
                }
                return sent;
            }
            if (errno == EINTR) {
                continue;
            }
            if (wouldBlock(errno)) {
                if (emptyBeforeSend) {
                    if (!growSendBuffer()) {
                        return fail(EMSGSIZE);
                    }
                    continue;
                }
                // Only this thread sends, so the state found now can only improve until the
                // next try: a refusal then is the buffer's size, not a wait.
                if (bluetoothSendBufferEmptyAndWritable()) {
                    emptyBeforeSend = true;
                    continue;
                }
                setNotifierEnabled(true);
                return 0;
            }
            return fail(errno);
        }
    }

    [[nodiscard]] std::string errorDescription() const override { return error_; }

    [[nodiscard]] bool bluetoothSendBufferEmptyAndWritable() const {
        if (!core_->isBluetoothSeqpacket() || (pollNow(fd(), POLLOUT) & POLLOUT) == 0) {
            return false;
        }
        int buffer = 0;
        socklen_t size = sizeof(buffer);
        int room = 0;
        // On a Bluetooth socket TIOCOUTQ is the room left in the send buffer.
        return ::getsockopt(fd(), SOL_SOCKET, SO_SNDBUF, &buffer, &size) == 0 &&
               ::ioctl(fd(), TIOCOUTQ, &room) == 0 && room >= buffer;
    }

    // Doubles the send buffer; false when the system's limit allows no more.
    bool growSendBuffer() {
        int before = 0;
        socklen_t size = sizeof(before);
        if (::getsockopt(fd(), SOL_SOCKET, SO_SNDBUF, &before, &size) != 0) {
            return false;
        }
        // The kernel doubles what it is given (SO_SNDBUF reads back the doubled value).
        int after = 0;
        size = sizeof(after);
        return ::setsockopt(fd(), SOL_SOCKET, SO_SNDBUF, &before, sizeof(before)) == 0 &&
               ::getsockopt(fd(), SOL_SOCKET, SO_SNDBUF, &after, &size) == 0 && after > before;
    }

    void finishOpen() {
        if (state_ != HalfState::opening) {
            return;
        }
        state_ = HalfState::open;
        deliver(StreamEvent::openCompleted);
        if (hasSpaceAvailable()) {
            deliver(StreamEvent::spaceAvailable);
        }
    }

    void onNotifier() {
        setNotifierEnabled(false);
        deliver(StreamEvent::spaceAvailable);
    }
};

} // namespace

FdByteStream::FdByteStream(int fd, RunLoop& streams, FdStreamOptions options)
    : fd_(fd), streams_(streams), options_(options),
      bluetoothSeqpacket_(options.seqpacket && isBluetooth(fd)) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) {
        (void)::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    }
}

FdByteStream::~FdByteStream() {
    if (!fd_) {
        return;
    }
    // After the halves' notifiers, which were deleted or queued for deletion before.
    if (streams_.isCurrent()) {
        fd_.close();
    } else {
        streams_.post([fd = std::make_shared<UniqueFd>(std::move(fd_))] { fd->close(); });
    }
}

size_t FdByteStream::receiveBufferSize() const {
    return options_.receiveMtu > 0 ? options_.receiveMtu : defaultReceiveMtu;
}

void FdByteStream::halfClosed() {
    if (--openHalves_ == 0 && fd_) {
        if (bluetoothSeqpacket_) {
            closeOncePeerIsGone(std::make_shared<UniqueFd>(std::move(fd_)), streams_, 0);
        } else {
            fd_.close();
        }
    }
}

StreamPair makeFdStreamPair(int fd, RunLoop& streams, FdStreamOptions options) {
    auto core = std::make_shared<FdByteStream>(fd, streams, options);
    auto input = std::make_shared<FdInput>(core);
    auto output = std::make_shared<FdOutput>(core);
    return StreamPair{std::move(input), std::move(output), std::move(core)};
}

} // namespace merriphonic
