#include "tests/platform/pipewire/monitor_capture.h"

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>

#include <chrono>
#include <cmath>
#include <thread>

namespace merriphonic::test {

MonitorCapture::~MonitorCapture() {
    stop();
}

bool MonitorCapture::start(const std::string& sink, int rate, std::string& error) {
    pw_init(nullptr, nullptr);
    windowFrames_ = rate / 500;
    loop_ = pw_thread_loop_new("monitor-capture", nullptr);
    if (loop_ == nullptr || pw_thread_loop_start(loop_) < 0) {
        error = "cannot start a PipeWire loop";
        return false;
    }
    pw_thread_loop_lock(loop_);
    // A real-time data thread, as for the output under test, so that load does not drop cycles.
    context_ = pw_context_new(pw_thread_loop_get_loop(loop_),
                              pw_properties_new(PW_KEY_CONFIG_NAME, "client-rt.conf", nullptr), 0);
    core_ = context_ == nullptr ? nullptr : pw_context_connect(context_, nullptr, 0);
    if (core_ == nullptr) {
        pw_thread_loop_unlock(loop_);
        error = "cannot connect the monitor capture to PipeWire";
        return false;
    }
    pw_properties* props =
        pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture",
                          PW_KEY_NODE_NAME, "monitor-capture", PW_KEY_TARGET_OBJECT, sink.c_str(),
                          PW_KEY_STREAM_CAPTURE_SINK, "true", nullptr);
    pw_properties_setf(props, PW_KEY_NODE_LATENCY, "256/%d", rate);
    static const pw_stream_events events = [] {
        pw_stream_events e{};
        e.version = PW_VERSION_STREAM_EVENTS;
        e.process = &MonitorCapture::onProcess;
        return e;
    }();
    stream_ = pw_stream_new(core_, "monitor capture", props);
    if (stream_ != nullptr) {
        pw_stream_add_listener(stream_, &listener_, &events, this);
    }
    std::array<uint8_t, 1024> podBuffer{};
    spa_pod_builder builder{};
    spa_pod_builder_init(&builder, podBuffer.data(), podBuffer.size());
    spa_audio_info_raw info{};
    info.format = SPA_AUDIO_FORMAT_F32;
    info.rate = static_cast<uint32_t>(rate);
    info.channels = channels;
    info.position[0] = SPA_AUDIO_CHANNEL_FL;
    info.position[1] = SPA_AUDIO_CHANNEL_FR;
    std::array<const spa_pod*, 1> params{
        spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
    const int res =
        stream_ == nullptr
            ? -1
            : pw_stream_connect(stream_, PW_DIRECTION_INPUT, PW_ID_ANY,
                                static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT |
                                                             PW_STREAM_FLAG_MAP_BUFFERS |
                                                             PW_STREAM_FLAG_RT_PROCESS),
                                params.data(), 1);
    pw_thread_loop_unlock(loop_);
    if (res < 0) {
        error = "cannot connect the monitor capture stream";
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (buffers() < 2) {
        if (std::chrono::steady_clock::now() > deadline) {
            error = "the monitor capture stream received nothing";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

void MonitorCapture::stop() {
    if (loop_ == nullptr) {
        return;
    }
    pw_thread_loop_lock(loop_);
    if (stream_ != nullptr) {
        pw_stream_destroy(stream_);
        stream_ = nullptr;
    }
    if (core_ != nullptr) {
        pw_core_disconnect(core_);
        core_ = nullptr;
    }
    pw_thread_loop_unlock(loop_);
    pw_thread_loop_stop(loop_);
    if (context_ != nullptr) {
        pw_context_destroy(context_);
        context_ = nullptr;
    }
    pw_thread_loop_destroy(loop_);
    loop_ = nullptr;
}

std::vector<MonitorCapture::Click> MonitorCapture::clicks() const {
    const size_t n = clickCount_.load(std::memory_order_acquire);
    return {clicks_.begin(), clicks_.begin() + static_cast<std::ptrdiff_t>(n)};
}

void MonitorCapture::onProcess(void* data) {
    auto& self = *static_cast<MonitorCapture*>(data);
    while (pw_buffer* buffer = pw_stream_dequeue_buffer(self.stream_)) {
        pw_time time{};
        pw_stream_get_time_n(self.stream_, &time, sizeof(time));
        const spa_data& d = buffer->buffer->datas[0];
        if (d.data != nullptr && time.rate.denom != 0) {
            const uint32_t offset = std::min(d.chunk->offset, d.maxsize);
            const uint32_t bytes = std::min(d.chunk->size, d.maxsize - offset);
            const uint32_t frames = bytes / (channels * sizeof(float));
            const auto* samples =
                reinterpret_cast<const float*>(static_cast<const uint8_t*>(d.data) + offset);
            // One frame lasts rate.num / rate.denom seconds; the buffer is the previous cycle's.
            const int64_t frameNsNum = static_cast<int64_t>(time.rate.num) * 1'000'000'000;
            const int64_t frameNsDenom = time.rate.denom;
            const int64_t firstNs =
                time.now - static_cast<int64_t>(frames) * frameNsNum / frameNsDenom;
            self.scan(samples, frames, firstNs, frameNsNum, frameNsDenom);
        }
        pw_stream_queue_buffer(self.stream_, buffer);
        self.buffers_.fetch_add(1, std::memory_order_release);
    }
}

void MonitorCapture::scan(const float* samples, uint32_t frames, int64_t firstNs,
                          int64_t frameNsNum, int64_t frameNsDenom) {
    for (uint32_t k = 0; k < frames; ++k) {
        float level = 0;
        for (int c = 0; c < channels; ++c) {
            level = std::max(level, std::fabs(samples[k * channels + c]));
        }
        const int64_t atNs = firstNs + static_cast<int64_t>(k) * frameNsNum / frameNsDenom;
        if (windowLeft_ == 0 && level > threshold) {
            windowLeft_ = windowFrames_;
            current_ = Click{atNs, level};
        }
        if (windowLeft_ > 0) {
            if (level > current_.peak) {
                current_ = Click{atNs, level};
            }
            if (--windowLeft_ == 0) {
                const size_t n = clickCount_.load(std::memory_order_relaxed);
                if (n < maxClicks) {
                    clicks_.at(n) = current_;
                    clickCount_.store(n + 1, std::memory_order_release);
                }
            }
        }
    }
}

} // namespace merriphonic::test
