#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/bytes.h"
#include "platform/byte_stream.h"
#include "platform/run_loop.h"

namespace merriphonic::test {

inline Bytes randomBytes(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    Bytes bytes(size);
    std::generate(bytes.begin(), bytes.end(), [&] { return static_cast<uint8_t>(random()); });
    return bytes;
}

inline size_t count(const std::vector<StreamEvent>& events, StreamEvent event) {
    return static_cast<size_t>(std::count(events.begin(), events.end(), event));
}

// How a StreamEndpoint reads.
struct StreamEndpointOptions {
    bool reading = true;
    bool readAll = true; // keep reading while bytes are said to be available
    size_t readSize = 32 * 1024;
    std::function<int64_t()> clock = {}; // stamps each read when set
};

// One end of a channel, driven on its stream loop the way a connection drives it: it reads what
// arrives (readSize bytes a read; everything waiting, or one read per event) and writes its
// outbox as space allows. What it sees is kept under a lock, so a test on another thread may
// look. Every operation is posted to the loop.
class StreamEndpoint : public std::enable_shared_from_this<StreamEndpoint> {
public:
    using Options = StreamEndpointOptions;
    struct Seen {
        std::vector<StreamEvent> input;
        std::vector<StreamEvent> output;
        Bytes received;
        std::vector<int64_t> reads; // each read's result
        std::vector<int64_t> readTimes;
        std::vector<int64_t> writes; // each accepted write's count
        size_t sent = 0;
        std::string inputError;
        int offLoopEvents = 0;

        // The end came as an event, or as a read of 0 while reading.
        [[nodiscard]] bool ended() const {
            return count(input, StreamEvent::end) > 0 || (!reads.empty() && reads.back() == 0);
        }
    };

    static std::shared_ptr<StreamEndpoint> open(StreamPair pair, RunLoop& loop,
                                                Options options = {}) {
        auto self = std::make_shared<StreamEndpoint>(std::move(pair), loop, std::move(options));
        loop.post([weak = std::weak_ptr(self)] {
            const auto strong = weak.lock();
            const auto to = [weak](void (StreamEndpoint::*handler)(StreamEvent)) {
                return [weak, handler](StreamEvent event) {
                    if (auto strong = weak.lock()) {
                        ((*strong).*handler)(event);
                    }
                };
            };
            strong->pair_.input->setEventHandler(to(&StreamEndpoint::onInput));
            strong->pair_.output->setEventHandler(to(&StreamEndpoint::onOutput));
            strong->pair_.input->open();
            strong->pair_.output->open();
        });
        return self;
    }

    StreamEndpoint(StreamPair pair, RunLoop& loop, Options options)
        : pair_(std::move(pair)), loop_(loop), options_(std::move(options)) {}

    // Queues bytes for writing; with thenClose, closes both halves once all are written.
    void send(Bytes bytes, bool thenClose = false) {
        onLoop([bytes = std::move(bytes), thenClose](StreamEndpoint& self) {
            self.outbox_.insert(self.outbox_.end(), bytes.begin(), bytes.end());
            self.closeWhenFlushed_ = thenClose;
            self.pump();
        });
    }
    // Changes how it reads, and reads what waits.
    void read(bool readAll = true, size_t readSize = 32 * 1024) {
        onLoop([readAll, readSize](StreamEndpoint& self) {
            self.options_.reading = true;
            self.options_.readAll = readAll;
            self.options_.readSize = readSize;
            self.drain();
        });
    }
    void closeInput() {
        onLoop([](StreamEndpoint& self) { self.pair_.input->close(); });
    }
    void closeOutput() {
        onLoop([](StreamEndpoint& self) { self.pair_.output->close(); });
    }

    [[nodiscard]] Seen seen() const {
        const std::lock_guard lock(mutex_);
        return seen_;
    }
    [[nodiscard]] const StreamPair& pair() const { return pair_; }

private:
    void onLoop(std::function<void(StreamEndpoint&)> task) {
        loop_.post([self = shared_from_this(), task = std::move(task)] { task(*self); });
    }
    template <typename Change>
    void record(Change change) {
        const std::lock_guard lock(mutex_);
        change(seen_);
    }

    void onInput(StreamEvent event) {
        record([&](Seen& s) {
            s.input.push_back(event);
            s.offLoopEvents += loop_.isCurrent() ? 0 : 1;
            if (event == StreamEvent::error) {
                s.inputError = pair_.input->errorDescription();
            }
        });
        if (event == StreamEvent::bytesAvailable) {
            drain();
        }
    }

    void onOutput(StreamEvent event) {
        record([&](Seen& s) {
            s.output.push_back(event);
            s.offLoopEvents += loop_.isCurrent() ? 0 : 1;
        });
        if (event == StreamEvent::spaceAvailable) {
            pump();
        }
    }

    void drain() {
        Bytes buffer(options_.readSize);
        while (options_.reading && pair_.input->hasBytesAvailable()) {
            const int64_t read = pair_.input->read(buffer.data(), buffer.size());
            record([&](Seen& s) {
                s.reads.push_back(read);
                if (options_.clock) {
                    s.readTimes.push_back(options_.clock());
                }
                if (read > 0) {
                    s.received.insert(s.received.end(), buffer.begin(), buffer.begin() + read);
                } else if (read < 0) {
                    s.inputError = pair_.input->errorDescription();
                }
            });
            if (read <= 0 || !options_.readAll) {
                return;
            }
        }
    }

    void pump() {
        while (sent_ < outbox_.size() && pair_.output->hasSpaceAvailable()) {
            const int64_t written =
                pair_.output->write(outbox_.data() + sent_, outbox_.size() - sent_);
            if (written <= 0) {
                return;
            }
            sent_ += static_cast<size_t>(written);
            record([&](Seen& s) {
                s.writes.push_back(written);
                s.sent = sent_;
            });
        }
        if (closeWhenFlushed_ && sent_ == outbox_.size()) {
            pair_.input->close();
            pair_.output->close();
        }
    }

    StreamPair pair_;
    RunLoop& loop_;
    Options options_;
    Bytes outbox_;
    size_t sent_ = 0;
    bool closeWhenFlushed_ = false;
    mutable std::mutex mutex_;
    Seen seen_;
};

} // namespace merriphonic::test
