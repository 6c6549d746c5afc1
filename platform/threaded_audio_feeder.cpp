#include "platform/threaded_audio_feeder.h"

#include <pthread.h>

#include <chrono>
#include <utility>

namespace merriphonic {

ThreadedAudioFeeder::ThreadedAudioFeeder(std::string threadName, int64_t intervalNs)
    : threadName_(std::move(threadName)), intervalNs_(intervalNs > 0 ? intervalNs : 1) {}

ThreadedAudioFeeder::~ThreadedAudioFeeder() {
    stop();
}

void ThreadedAudioFeeder::start(AudioFeed& feed) {
    stop();
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        quit_ = false;
        woken_ = true; // a first feed at once
    }
    thread_ = std::thread([this, &feed] { run(feed); });
}

void ThreadedAudioFeeder::wake() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        woken_ = true;
    }
    wakeUp_.notify_one();
}

void ThreadedAudioFeeder::stop() {
    if (!thread_.joinable()) {
        return;
    }
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        quit_ = true;
    }
    wakeUp_.notify_one();
    thread_.join();
}

void ThreadedAudioFeeder::run(AudioFeed& feed) {
    // The kernel keeps at most 15 characters of a thread's name.
    pthread_setname_np(pthread_self(), threadName_.substr(0, 15).c_str());
    std::unique_lock<std::mutex> lock(mutex_);
    while (!quit_) {
        woken_ = false;
        lock.unlock();
        feed.feed();
        lock.lock();
        wakeUp_.wait_for(lock, std::chrono::nanoseconds(intervalNs_),
                         [this] { return quit_ || woken_; });
    }
}

} // namespace merriphonic
