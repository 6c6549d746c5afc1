#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace merriphonic {

// Events a byte stream reports to its handler, always on the stream loop it was created for.
enum class StreamEvent { openCompleted, bytesAvailable, spaceAvailable, error, end };

using StreamEventHandler = std::function<void(StreamEvent)>;

// The reading half of a byte stream (one direction of a channel). Not thread-safe: used only
// on its stream loop.
class InputStream {
public:
    virtual ~InputStream() = default;
    // Installs (or, with an empty function, clears) the event handler.
    virtual void setEventHandler(StreamEventHandler handler) = 0;
    // Starts delivering events; reports openCompleted, then bytesAvailable whenever data waits.
    virtual void open() = 0;
    // Stops delivering events and releases the stream's side of the channel. Idempotent.
    virtual void close() = 0;
    // Whether a read would return at once (data, end of stream or an error).
    [[nodiscard]] virtual bool hasBytesAvailable() const = 0;
    // Reads up to maxLength bytes. Returns the count read, 0 at the end of the stream, or a
    // negative value on error (see errorDescription()).
    virtual int64_t read(uint8_t* buffer, size_t maxLength) = 0;
    // The last error's description, or empty when there is none.
    [[nodiscard]] virtual std::string errorDescription() const = 0;
};

// The writing half of a byte stream. Not thread-safe: used only on its stream loop.
class OutputStream {
public:
    virtual ~OutputStream() = default;
    virtual void setEventHandler(StreamEventHandler handler) = 0;
    // Starts delivering events; reports openCompleted, then spaceAvailable whenever a write
    // would be accepted.
    virtual void open() = 0;
    virtual void close() = 0;
    [[nodiscard]] virtual bool hasSpaceAvailable() const = 0;
    // Writes up to length bytes without blocking. Returns the count accepted (0 when the
    // stream is full: wait for spaceAvailable), or a negative value on error.
    virtual int64_t write(const uint8_t* buffer, size_t length) = 0;
    [[nodiscard]] virtual std::string errorDescription() const = 0;
};

// Both halves of an opened channel, plus whatever must live as long as they do.
struct StreamPair {
    std::shared_ptr<InputStream> input;
    std::shared_ptr<OutputStream> output;
    std::shared_ptr<void> owner;
};

} // namespace merriphonic
