#pragma once

#include <memory>

namespace merriphonic {

// The work that keeps a real-time renderer supplied: decoding ahead into its buffers and
// passing what the render thread reports on to the main loop. It runs off the real-time
// thread and may block, allocate and read files; calls never overlap.
class AudioFeed {
public:
    virtual void feed() = 0;

protected:
    AudioFeed() = default;
    ~AudioFeed() = default;
    AudioFeed(const AudioFeed&) = default;
    AudioFeed& operator=(const AudioFeed&) = default;
};

// Runs an AudioFeed ahead of the render thread: on a worker thread of its own in the app, in
// step with the render calls of a simulated output.
class AudioFeeder {
public:
    virtual ~AudioFeeder() = default;
    AudioFeeder() = default;
    AudioFeeder(const AudioFeeder&) = delete;
    AudioFeeder& operator=(const AudioFeeder&) = delete;

    // Starts calling feed.feed() regularly until stop(). The feed must outlive that.
    virtual void start(AudioFeed& feed) = 0;
    // Asks for a feed() soon because new work is waiting. Not for the render thread.
    virtual void wake() = 0;
    // When it returns, feed() is not running and will not be called again.
    virtual void stop() = 0;
};

} // namespace merriphonic
