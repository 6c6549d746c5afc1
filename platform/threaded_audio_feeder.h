#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "platform/audio_feeder.h"

namespace merriphonic {

// Runs a feed on a worker thread of normal priority: every intervalNs, and at once when woken.
class ThreadedAudioFeeder final : public AudioFeeder {
public:
    static constexpr int64_t defaultIntervalNs = 10'000'000;

    explicit ThreadedAudioFeeder(std::string threadName = "audio-feed",
                                 int64_t intervalNs = defaultIntervalNs);
    ~ThreadedAudioFeeder() override;

    void start(AudioFeed& feed) override;
    void wake() override;
    void stop() override;

private:
    void run(AudioFeed& feed);

    const std::string threadName_;
    const int64_t intervalNs_;
    std::mutex mutex_;
    std::condition_variable wakeUp_;
    bool woken_ = false;
    bool quit_ = false;
    std::thread thread_;
};

} // namespace merriphonic
