#pragma once

#include <cstddef>
#include <memory>

#include "platform/byte_stream.h"
#include "platform/run_loop.h"
#include "platform/unique_fd.h"

namespace merriphonic {

struct FdStreamOptions {
    // A SOCK_SEQPACKET socket (an L2CAP channel): one write sends one message, one read takes
    // one message (or the rest of one).
    bool seqpacket = false;
    // seqpacket: the largest message a write sends (the channel's send MTU); 0 for no cap.
    size_t sendMtu = 0;
    // seqpacket: the largest message the peer may send (the channel's receive MTU); 0 for
    // 65,536.
    size_t receiveMtu = 0;

    bool operator==(const FdStreamOptions&) const = default;
};

// What the two halves over one connected socket share: the descriptor, which closes when both
// halves have closed or when the last of the halves and this owner is gone. A Bluetooth
// SEQPACKET socket whose halves have closed stays open until the peer hangs up (at most 2 s):
// closing an L2CAP channel discards what the peer has not yet read of it.
class FdByteStream {
public:
    FdByteStream(int fd, RunLoop& streams, FdStreamOptions options);
    ~FdByteStream();
    FdByteStream(const FdByteStream&) = delete;
    FdByteStream& operator=(const FdByteStream&) = delete;

    [[nodiscard]] int fd() const { return fd_.get(); }
    [[nodiscard]] RunLoop& streams() const { return streams_; }
    [[nodiscard]] const FdStreamOptions& options() const { return options_; }
    [[nodiscard]] size_t receiveBufferSize() const;
    // An L2CAP channel: a SEQPACKET socket of the Bluetooth family (asked once, when wrapped).
    [[nodiscard]] bool isBluetoothSeqpacket() const { return bluetoothSeqpacket_; }

    // Called on the stream loop by each half as it closes; the second closes the descriptor.
    void halfClosed();

private:
    UniqueFd fd_;
    RunLoop& streams_;
    FdStreamOptions options_;
    bool bluetoothSeqpacket_;
    int openHalves_ = 2;
};

// Wraps a connected socket (SOCK_STREAM or SOCK_SEQPACKET) in an input and an output stream
// whose events arrive on `streams`, which must be a Qt event loop (the stream thread). Takes
// ownership of fd and makes it non-blocking.
//
// After open(), each half reports openCompleted, then bytesAvailable / spaceAvailable as
// they arise; the input reports end and error even while nobody reads. read() returns the
// count read, 0 at the end, a negative value on error (errorDescription() is the system's
// text). write() returns the count sent, 0 when the socket is full (spaceAvailable follows
// once it has room), a negative value on error. A SIGPIPE is never raised.
StreamPair makeFdStreamPair(int fd, RunLoop& streams, FdStreamOptions options = {});

} // namespace merriphonic
