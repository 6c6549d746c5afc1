#include "platform/null_audio_output.h"

#include <fmt/format.h>
#include <pthread.h>
#include <sched.h>

#include <cerrno>
#include <ctime>

#include "core/time_units.h"

namespace merriphonic {

namespace {

// Low enough to leave room above for the system's own audio threads.
constexpr int realtimePriority = 20;

int64_t monotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * nsPerSecond + ts.tv_nsec;
}

void sleepUntil(int64_t ns) {
    timespec ts{};
    ts.tv_sec = ns / nsPerSecond;
    ts.tv_nsec = ns % nsPerSecond;
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

// Exact for any frame count of a running stream (no 64-bit overflow for centuries).
int64_t framesToNs(int64_t frames, int64_t rate) {
    return frames / rate * nsPerSecond + frames % rate * nsPerSecond / rate;
}

} // namespace

NullAudioOutput::NullAudioOutput(RunLoop& main, int periodFrames)
    : periodFrames_(periodFrames > 0 ? periodFrames : defaultPeriodFrames) {
    (void)main; // nothing is ever reported
}

NullAudioOutput::~NullAudioOutput() {
    stop();
}

Result<Done, std::string> NullAudioOutput::start(const AudioFormat& format,
                                                 AudioRenderer& renderer) {
    stop();
    if (auto checked = checkAudioFormat(format); !checked) {
        return checked;
    }
    format_ = format;
    renderer_ = &renderer;
    buffer_.assign(static_cast<size_t>(periodFrames_) * static_cast<size_t>(format.channels), 0.0F);
    quit_.store(false, std::memory_order_relaxed);
    const int64_t startNs = monotonicNs();
    thread_ = std::thread([this, startNs] { run(startNs); });
    return Done{};
}

void NullAudioOutput::stop() {
    if (!thread_.joinable()) {
        return;
    }
    quit_.store(true, std::memory_order_release);
    thread_.join();
    renderer_ = nullptr;
}

void NullAudioOutput::run(int64_t startNs) {
    pthread_setname_np(pthread_self(), "null-audio");
    sched_param param{};
    param.sched_priority = realtimePriority;
    // Without the privilege the thread runs at normal priority; pacing stays exact on
    // average, only the wake-ups jitter more.
    (void)pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);

    const int64_t rate = format_.sampleRate;
    int64_t frames = 0; // frames consumed since startNs
    while (!quit_.load(std::memory_order_acquire)) {
        const int64_t dueNs = startNs + framesToNs(frames, rate);
        sleepUntil(dueNs);
        if (quit_.load(std::memory_order_acquire)) {
            break;
        }
        const int64_t lagNs = monotonicNs() - dueNs;
        if (lagNs > maxLagNs) {
            const auto elapsed = static_cast<__int128>(dueNs + lagNs - startNs);
            const auto behind = static_cast<int64_t>(elapsed * rate / nsPerSecond);
            frames = behind / periodFrames_ * periodFrames_;
            continue;
        }
        renderer_->render(buffer_.data(), periodFrames_, RenderInfo{dueNs, 0});
        frames += periodFrames_;
    }
}

} // namespace merriphonic
