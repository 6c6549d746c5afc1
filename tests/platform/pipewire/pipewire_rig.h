#pragma once

// What the PipeWire output is tested against: a private daemon with a null sink, a capture of
// that sink's monitor that finds clicks and when they were heard, and a renderer that plays
// clicks at chosen instants.

#include <fcntl.h>
#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <list>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/audio_output.h"
#include "platform/qt/system_clock.h"
#include "tests/support/qt_test_support.h"

namespace merriphonic::test {

inline int64_t monotonicNs() {
    return SystemClock().nowNs();
}

// Polls until the condition holds, or the time is up. Harness only: real processes starting,
// real-time threads filling buffers.
template <typename Condition>
bool pollUntil(std::chrono::milliseconds timeout, Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// A private PipeWire daemon with one null sink ("test-sink", stereo, with monitor ports) and
// a session manager that links streams to it. Everything lives in a fresh 0700 runtime
// folder; until stop(), this process's XDG_RUNTIME_DIR and PIPEWIRE_RUNTIME_DIR point there,
// so PipeWire clients created meanwhile talk to this daemon. Every process started is ended by
// its pid.
class HeadlessPipeWire {
public:
    static constexpr const char* sinkName = "test-sink";

    HeadlessPipeWire() = default;
    ~HeadlessPipeWire() { stop(); }
    HeadlessPipeWire(const HeadlessPipeWire&) = delete;
    HeadlessPipeWire& operator=(const HeadlessPipeWire&) = delete;

    // Starts a session bus (the session manager exits without one), the daemon and the session
    // manager, and waits until the session manager has chosen the sink. On failure, error tells
    // why, with the processes' log.
    bool start(std::string& error) {
        folder_ = std::make_unique<TempFolder>();
        const std::string bus = "unix:path=" + (dir() / "bus").string();
        // The children, and the clients of this process (the outputs under test), find the
        // daemon and the session bus through these; nothing is preloaded into the children.
        for (const auto& [name, value] :
             std::array<std::pair<const char*, std::optional<std::string>>, 7>{{
                 {"XDG_RUNTIME_DIR", dir().string()},
                 {"PIPEWIRE_RUNTIME_DIR", dir().string()},
                 {"PIPEWIRE_REMOTE", std::nullopt},
                 {"XDG_STATE_HOME", dir().string()},
                 {"XDG_CONFIG_HOME", dir().string()},
                 {"DBUS_SESSION_BUS_ADDRESS", bus},
                 {"LD_PRELOAD", std::nullopt},
             }}) {
            env_.emplace_back(name, value);
        }
        std::ofstream(dir() / "daemon.conf") << daemonConfig;
        if (!spawnUntilMade(bus_, {"dbus-daemon", "--session", "--nofork", "--address=" + bus},
                            "bus", error) ||
            !spawnUntilMade(daemon_, {"pipewire", "-c", (dir() / "daemon.conf").string()},
                            "pipewire-0", error)) {
            return false;
        }
        // Now and then the session manager comes up without ever choosing a default sink; a
        // fresh one does.
        for (int attempt = 0; attempt < 3; ++attempt) {
            endProcess(sessionManager_);
            sessionManager_ = spawn({"wireplumber"});
            if (pollUntil(std::chrono::seconds(6), [&] {
                    std::string chosen;
                    return runTool({"pw-metadata", "-n", "default", "0", "default.audio.sink"},
                                   &chosen) == 0 &&
                           chosen.find(sinkName) != std::string::npos;
                })) {
                return true;
            }
        }
        error = "the session manager did not choose the null sink" + log();
        return false;
    }
    // Ends every process started, and removes the folder.
    void stop() {
        endProcess(sessionManager_);
        endProcess(bus_);
        endProcess(daemon_);
        env_.clear();
        folder_.reset();
    }
    // Kills the daemon alone, as a crash would.
    void killDaemon() {
        if (daemon_ > 0) {
            kill(daemon_, SIGKILL);
            endProcess(daemon_);
        }
    }

    // Runs a PipeWire command-line tool against this daemon; returns its exit status.
    int runTool(const std::vector<std::string>& argv, std::string* output = nullptr) const {
        std::vector<std::string> args{"timeout", "5"};
        args.insert(args.end(), argv.begin(), argv.end());
        std::filesystem::remove(dir() / "tool.out");
        const pid_t pid = spawn(args, "tool.out");
        int status = 0;
        if (pid < 0 || waitpid(pid, &status, 0) != pid) {
            return -1;
        }
        if (output != nullptr) {
            *output = tail("tool.out");
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    // Debian's minimal daemon configuration with the ALSA source and sink replaced by one null
    // sink. The sink drives the graph from a CLOCK_MONOTONIC timer, and its monitor ports give
    // back what it consumed.
    static constexpr const char* daemonConfig = R"(
context.properties = {
    core.daemon = true
    core.name = pipewire-0
    default.clock.rate = 48000
    default.clock.allowed-rates = [ 44100 48000 ]
}
context.spa-libs = {
    audio.convert.* = audioconvert/libspa-audioconvert
    support.* = support/libspa-support
}
context.modules = [
    { name = libpipewire-module-rt args = { nice.level = -11 } flags = [ ifexists nofail ] }
    { name = libpipewire-module-protocol-native }
    { name = libpipewire-module-metadata }
    { name = libpipewire-module-spa-node-factory }
    { name = libpipewire-module-client-node }
    { name = libpipewire-module-access }
    { name = libpipewire-module-adapter }
    { name = libpipewire-module-link-factory }
]
context.objects = [
    { factory = metadata args = { metadata.name = default } }
    { factory = spa-node-factory args = { factory.name = support.node.driver
        node.name = Dummy-Driver node.group = pipewire.dummy priority.driver = 20000 } }
    { factory = adapter args = { factory.name = support.null-audio-sink
        node.name = "test-sink" node.description = "test sink" media.class = "Audio/Sink"
        audio.position = [ FL FR ] object.linger = true
        adapter.auto-port-config = { mode = dsp monitor = true position = preserve } } }
]
)";

    [[nodiscard]] std::filesystem::path dir() const { return folder_->path(); }

    // Whether the child has ended (reaping it), or is no child of this process at all.
    static bool exited(pid_t pid) {
        int status = 0;
        const pid_t result = waitpid(pid, &status, WNOHANG);
        return result == pid || (result < 0 && errno == ECHILD);
    }
    // Sends SIGTERM, waits up to a second, then SIGKILL; reaps the child. Sets pid to -1.
    static void endProcess(pid_t& pid) {
        if (pid <= 0) {
            return;
        }
        kill(pid, SIGTERM);
        if (!pollUntil(std::chrono::seconds(1), [pid] { return exited(pid); })) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        pid = -1;
    }

    // Starts a process writing to the log, in the folder; -1 if it cannot fork.
    pid_t spawn(std::vector<std::string> argv, const char* log = "rig.log") const {
        std::vector<char*> argp;
        argp.reserve(argv.size() + 1);
        for (auto& arg : argv) {
            argp.push_back(arg.data());
        }
        argp.push_back(nullptr);
        const std::string logPath = (dir() / log).string();
        const pid_t parent = getpid();
        const pid_t pid = fork();
        if (pid == 0) {
            // Only async-signal-safe calls until exec. The child dies with the test process.
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != parent) {
                _exit(127);
            }
            const int out = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
            dup2(open("/dev/null", O_RDONLY), STDIN_FILENO);
            dup2(out, STDOUT_FILENO);
            dup2(out, STDERR_FILENO);
            execvp(argp[0], argp.data());
            _exit(127);
        }
        return pid;
    }

    // Starts a process and waits for the socket it makes in the folder.
    bool spawnUntilMade(pid_t& pid, const std::vector<std::string>& argv, const char* made,
                        std::string& error) {
        pid = spawn(argv);
        const auto up = [&] { return std::filesystem::exists(dir() / made); };
        if (pid < 0 || !pollUntil(std::chrono::seconds(10), [&] { return up() || exited(pid); }) ||
            !up()) {
            error = argv[0] + " did not come up" + log();
            return false;
        }
        return true;
    }

    [[nodiscard]] std::string tail(const char* log) const {
        std::stringstream text;
        text << std::ifstream(dir() / log).rdbuf();
        const std::string s = text.str();
        return s.size() > 2000 ? s.substr(s.size() - 2000) : s;
    }
    [[nodiscard]] std::string log() const { return "\n--- log:\n" + tail("rig.log"); }

    std::unique_ptr<TempFolder> folder_;
    std::list<ScopedEnv> env_;
    pid_t daemon_ = -1;
    pid_t bus_ = -1;
    pid_t sessionManager_ = -1;
};

// Records a sink's monitor ports and finds the clicks in them, each with the instant at which
// the sink consumed it.
//
// What "heard" means for a null sink: it has no device, so a frame is heard when the sink
// consumes it, at the sink's graph time. The sink drives the graph from a CLOCK_MONOTONIC
// timer: the cycle that starts at pw_time.now processes graph positions
// [ticks, ticks + quantum), so position ticks + k is heard at now + k / rate.
//
// The capture side's own latency: the sink is the graph's driver, and a driver processes its
// inputs (and fills its monitor ports) when the cycle completes, after its followers ran. A
// capture stream on the monitor is a follower triggered at the start of a cycle, so the
// buffer it dequeues in the cycle starting at now holds what the sink consumed in the
// previous cycle: its frame k was heard at now + (k − n) / rate, n being the buffer's frame
// count (the previous cycle's quantum). The stream's own pw_time.delay does not include this
// (it is 0 here), hence the explicit correction. A capture linked straight to the playback
// stream, with no driver in between, sees the same frames in the same cycle; in a check
// with such a link the click landed at now + k / rate, agreeing with this reading.
class MonitorCapture {
public:
    static constexpr int channels = 2;
    static constexpr float threshold = 0.25F;

    struct Click {
        int64_t heardNs = 0;
        float peak = 0;
    };

    MonitorCapture() = default;
    ~MonitorCapture() { stop(); }
    MonitorCapture(const MonitorCapture&) = delete;
    MonitorCapture& operator=(const MonitorCapture&) = delete;

    // Captures the monitor of the sink; returns once the first buffers have arrived. The rate
    // must be the graph's, so that the capture side does not resample.
    bool start(const std::string& sink, int rate, std::string& error) {
        pw_init(nullptr, nullptr);
        windowFrames_ = rate / 500;
        loop_ = pw_thread_loop_new("monitor-capture", nullptr);
        if (loop_ == nullptr || pw_thread_loop_start(loop_) < 0) {
            error = "cannot start a PipeWire loop";
            return false;
        }
        pw_thread_loop_lock(loop_);
        // A real-time data thread, as for the output under test, so that load does not drop
        // cycles.
        context_ =
            pw_context_new(pw_thread_loop_get_loop(loop_),
                           pw_properties_new(PW_KEY_CONFIG_NAME, "client-rt.conf", nullptr), 0);
        core_ = context_ == nullptr ? nullptr : pw_context_connect(context_, nullptr, 0);
        pw_properties* props =
            pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture",
                              PW_KEY_NODE_NAME, "monitor-capture", PW_KEY_TARGET_OBJECT,
                              sink.c_str(), PW_KEY_STREAM_CAPTURE_SINK, "true", nullptr);
        pw_properties_setf(props, PW_KEY_NODE_LATENCY, "256/%d", rate);
        static const pw_stream_events events = [] {
            pw_stream_events e{};
            e.version = PW_VERSION_STREAM_EVENTS;
            e.process = &MonitorCapture::onProcess;
            return e;
        }();
        stream_ = core_ == nullptr ? nullptr : pw_stream_new(core_, "monitor capture", props);
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
        int res = -1;
        if (stream_ != nullptr) {
            pw_stream_add_listener(stream_, &listener_, &events, this);
            res = pw_stream_connect(stream_, PW_DIRECTION_INPUT, PW_ID_ANY,
                                    static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT |
                                                                 PW_STREAM_FLAG_MAP_BUFFERS |
                                                                 PW_STREAM_FLAG_RT_PROCESS),
                                    params.data(), 1);
        }
        pw_thread_loop_unlock(loop_);
        if (res < 0) {
            error = "cannot connect the monitor capture stream";
            return false;
        }
        if (!pollUntil(std::chrono::seconds(5), [this] { return buffers_.load() >= 2; })) {
            error = "the monitor capture stream received nothing";
            return false;
        }
        return true;
    }

    void stop() {
        if (loop_ == nullptr) {
            return;
        }
        pw_thread_loop_lock(loop_);
        if (stream_ != nullptr) {
            pw_stream_destroy(stream_);
        }
        if (core_ != nullptr) {
            pw_core_disconnect(core_);
        }
        pw_thread_loop_unlock(loop_);
        pw_thread_loop_stop(loop_);
        if (context_ != nullptr) {
            pw_context_destroy(context_);
        }
        pw_thread_loop_destroy(loop_);
        loop_ = nullptr;
    }

    [[nodiscard]] std::vector<Click> clicks() const {
        const size_t n = clickCount_.load(std::memory_order_acquire);
        return {clicks_.begin(), clicks_.begin() + static_cast<std::ptrdiff_t>(n)};
    }

private:
    static void onProcess(void* data) {
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
                // One frame lasts rate.num / rate.denom seconds; the buffer is the previous
                // cycle's.
                const int64_t frameNsNum = static_cast<int64_t>(time.rate.num) * 1'000'000'000;
                const int64_t frameNsDenom = time.rate.denom;
                const int64_t firstNs =
                    time.now - static_cast<int64_t>(frames) * frameNsNum / frameNsDenom;
                for (uint32_t k = 0; k < frames; ++k) {
                    self.scan(std::max(std::fabs(samples[2 * k]), std::fabs(samples[2 * k + 1])),
                              firstNs + static_cast<int64_t>(k) * frameNsNum / frameNsDenom);
                }
            }
            pw_stream_queue_buffer(self.stream_, buffer);
            self.buffers_.fetch_add(1, std::memory_order_release);
        }
    }

    // A click is the loudest frame within windowFrames of the first frame above the threshold,
    // so that a resampled impulse is located at its peak rather than at its leading edge.
    void scan(float level, int64_t atNs) {
        if (windowLeft_ == 0 && level > threshold) {
            windowLeft_ = windowFrames_;
            current_ = Click{atNs, level};
        }
        if (windowLeft_ > 0) {
            if (level > current_.peak) {
                current_ = Click{atNs, level};
            }
            const size_t n = clickCount_.load(std::memory_order_relaxed);
            if (--windowLeft_ == 0 && n < maxClicks) {
                clicks_.at(n) = current_;
                clickCount_.store(n + 1, std::memory_order_release);
            }
        }
    }

    pw_thread_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    pw_stream* stream_ = nullptr;
    spa_hook listener_{};

    static constexpr size_t maxClicks = 64;
    std::array<Click, maxClicks> clicks_{};
    std::atomic<size_t> clickCount_{0};
    std::atomic<int64_t> buffers_{0};

    // Real-time thread only: the click being measured.
    int windowFrames_ = 0; // 2 ms
    int windowLeft_ = 0;
    Click current_{};
};

// Renders silence with single-frame clicks, each written into the frame whose heard time
// (handOffNs + i / rate + outputLatencyNs) is nearest the instant asked for.
class ClickRenderer final : public AudioRenderer {
public:
    explicit ClickRenderer(AudioFormat format) : format_(format) {}

    // The next click, heard at this CLOCK_MONOTONIC instant; one at a time.
    void scheduleClick(int64_t atNs) { pendingNs_.store(atNs, std::memory_order_release); }

    void render(float* interleaved, int frames, const RenderInfo& info) noexcept override {
        const int channels = format_.channels;
        std::fill(interleaved, interleaved + static_cast<ptrdiff_t>(frames) * channels, 0.0F);
        const int64_t atNs = pendingNs_.load(std::memory_order_acquire);
        const auto index =
            std::llround(static_cast<double>(atNs - info.handOffNs - info.outputLatencyNs) *
                         format_.sampleRate / 1e9);
        if (atNs != 0 && index < frames) {
            // A click passed in a timeline break is dropped.
            for (int c = 0; c < channels && index >= 0; ++c) {
                interleaved[index * channels + c] = 1.0F;
            }
            pendingNs_.store(0, std::memory_order_release);
        }
        buffers_.fetch_add(1, std::memory_order_release);
    }

    [[nodiscard]] int64_t buffers() const { return buffers_.load(std::memory_order_acquire); }

private:
    const AudioFormat format_;
    std::atomic<int64_t> pendingNs_{0};
    std::atomic<int64_t> buffers_{0};
};

} // namespace merriphonic::test
