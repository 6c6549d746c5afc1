#include "platform/pipewire/pipewire_audio_output.h"

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#include <spa/param/audio/raw.h>

#include <fmt/format.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>
#include <utility>

#include "core/time_units.h"
#include "platform/files.h"
#include "platform/pipewire/stream_timing.h"
#include "platform/run_loop.h"

namespace merriphonic {

namespace {

int64_t monotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * nsPerSecond + ts.tv_nsec;
}

void initPipeWireOnce() {
    static std::once_flag once;
    std::call_once(once, [] { pw_init(nullptr, nullptr); });
}

// The speaker layout a stream of this many channels is tagged with.
void setPositions(spa_audio_info_raw& info) {
    static constexpr std::array<std::array<uint32_t, 8>, 8> layouts{{
        {SPA_AUDIO_CHANNEL_MONO},
        {SPA_AUDIO_CHANNEL_FL, SPA_AUDIO_CHANNEL_FR},
        {SPA_AUDIO_CHANNEL_FL, SPA_AUDIO_CHANNEL_FR, SPA_AUDIO_CHANNEL_FC},
        {SPA_AUDIO_CHANNEL_FL, SPA_AUDIO_CHANNEL_FR, SPA_AUDIO_CHANNEL_RL, SPA_AUDIO_CHANNEL_RR},
        {SPA_AUDIO_CHANNEL_FL, SPA_AUDIO_CHANNEL_FR, SPA_AUDIO_CHANNEL_FC, SPA_AUDIO_CHANNEL_RL,
         SPA_AUDIO_CHANNEL_RR},
        {SPA_AUDIO_CHANNEL_FL, SPA_AUDIO_CHANNEL_FR, SPA_AUDIO_CHANNEL_FC, SPA_AUDIO_CHANNEL_LFE,
         SPA_AUDIO_CHANNEL_RL, SPA_AUDIO_CHANNEL_RR},
        {SPA_AUDIO_CHANNEL_FL, SPA_AUDIO_CHANNEL_FR, SPA_AUDIO_CHANNEL_FC, SPA_AUDIO_CHANNEL_LFE,
         SPA_AUDIO_CHANNEL_RC, SPA_AUDIO_CHANNEL_SL, SPA_AUDIO_CHANNEL_SR},
        {SPA_AUDIO_CHANNEL_FL, SPA_AUDIO_CHANNEL_FR, SPA_AUDIO_CHANNEL_FC, SPA_AUDIO_CHANNEL_LFE,
         SPA_AUDIO_CHANNEL_RL, SPA_AUDIO_CHANNEL_RR, SPA_AUDIO_CHANNEL_SL, SPA_AUDIO_CHANNEL_SR},
    }};
    if (info.channels < 1 || info.channels > layouts.size()) {
        info.flags |= SPA_AUDIO_FLAG_UNPOSITIONED;
        return;
    }
    const auto& layout = layouts.at(info.channels - 1);
    for (uint32_t i = 0; i < info.channels; ++i) {
        info.position[i] = layout.at(i);
    }
}

} // namespace

// One connection to the PipeWire daemon, from start() to stop() or a fatal error. The
// fields are touched by three threads:
//  - main: creates and destroys the session; reads the loop-thread fields under the loop lock;
//  - PipeWire's loop thread (pw_thread_loop): stream and core events, the wake-up event;
//  - PipeWire's real-time data thread: onProcess() only, which reads what was set before
//    the stream was connected and writes only atomics and its own rt* fields.
struct PipeWireSession {
    PipeWireSession(std::weak_ptr<PipeWireAudioOutput::State> owner, RunLoop& main,
                    uint64_t generation, std::atomic<int64_t>& latencyNs, AudioFormat format,
                    AudioRenderer& renderer, int64_t latencyToleranceNs)
        : owner(std::move(owner)), main(main), generation(generation), latencyNs(latencyNs),
          format(format), renderer(renderer),
          stride(static_cast<uint32_t>(format.channels) * sizeof(float)),
          rtTiming(format.sampleRate, latencyToleranceNs) {}
    ~PipeWireSession() { close(); }
    PipeWireSession(const PipeWireSession&) = delete;
    PipeWireSession& operator=(const PipeWireSession&) = delete;

    Result<Done, std::string> open(const PipeWireAudioOutput::Options& options);
    void close();

    // Loop thread: hands a change to the owner on the main loop.
    void report(AudioChangeKind kind, std::string detail);
    void fail(std::string text);

    // Real-time thread.
    RenderInfo timing(const pw_time& time, uint32_t& changes);
    void publishTiming(const RenderInfo& info, const pw_time& time, uint32_t changes);

    static void onProcess(void* data);
    static void onStateChanged(void* data, pw_stream_state old, pw_stream_state state,
                               const char* error);
    static void onParamChanged(void* data, uint32_t id, const spa_pod* param);
    static void onCoreError(void* data, uint32_t id, int seq, int res, const char* message);
    static void onWake(void* data, uint64_t count);

    const std::weak_ptr<PipeWireAudioOutput::State> owner;
    RunLoop& main;
    const uint64_t generation;
    std::atomic<int64_t>& latencyNs; // published delay to sound, owned by the output
    const AudioFormat format;
    AudioRenderer& renderer;
    const uint32_t stride;

    pw_thread_loop* loop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    pw_stream* stream = nullptr;
    spa_source* wake = nullptr;
    spa_hook coreListener{};
    spa_hook streamListener{};
    pw_core_events coreEvents{};
    pw_stream_events streamEvents{};

    // Loop thread (read by main under the loop lock).
    bool starting = true;
    bool failed = false;
    std::string failure;
    bool streamed = false;
    bool interrupted = false;
    bool formatSeen = false;
    spa_audio_info_raw negotiated{};

    // Real-time thread to loop thread: StreamTiming's change bits.
    std::atomic<uint32_t> rtEvents{0};
    std::atomic<uint32_t> graphRateHz{0};

    // Real-time thread only.
    StreamTiming rtTiming;
};

struct PipeWireAudioOutput::State {
    State(RunLoop& main, Options options) : main(main), options(std::move(options)) {}

    void deliver(uint64_t generation, const AudioConfigurationChange& change);

    RunLoop& main;
    const Options options;
    ChangeHandler handler;
    std::unique_ptr<PipeWireSession> session;
    AudioFormat format;
    uint64_t generation = 0;
    std::atomic<int64_t> latencyNs{0};
};

Result<Done, std::string> PipeWireSession::open(const PipeWireAudioOutput::Options& options) {
    initPipeWireOnce();
    loop = pw_thread_loop_new("merriphonic-pw", nullptr);
    if (loop == nullptr) {
        return "cannot create the PipeWire loop: " + errnoText(errno);
    }
    // The real-time client configuration: the data thread that runs onProcess() is given
    // real-time priority where the system allows it.
    context = pw_context_new(pw_thread_loop_get_loop(loop),
                             pw_properties_new(PW_KEY_CONFIG_NAME, "client-rt.conf", nullptr), 0);
    if (context == nullptr) {
        return "cannot create the PipeWire context: " + errnoText(errno);
    }
    if (pw_thread_loop_start(loop) < 0) {
        return "cannot start the PipeWire loop: " + errnoText(errno);
    }

    pw_thread_loop_lock(loop);
    core = pw_context_connect(context, nullptr, 0);
    if (core == nullptr) {
        std::string why = "cannot connect to PipeWire: " + errnoText(errno);
        pw_thread_loop_unlock(loop);
        return why;
    }
    coreEvents.version = PW_VERSION_CORE_EVENTS;
    coreEvents.error = &PipeWireSession::onCoreError;
    pw_core_add_listener(core, &coreListener, &coreEvents, this);
    wake = pw_loop_add_event(pw_thread_loop_get_loop(loop), &PipeWireSession::onWake, this);

    pw_properties* props = pw_properties_new(
        PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback", PW_KEY_MEDIA_ROLE, "Music",
        PW_KEY_NODE_NAME, options.nodeName.c_str(), PW_KEY_NODE_DESCRIPTION,
        options.description.c_str(), PW_KEY_APP_NAME, options.description.c_str(), nullptr);
    pw_properties_setf(props, PW_KEY_NODE_LATENCY, "%d/%d", options.quantumFrames,
                       format.sampleRate);
    if (!options.target.empty()) {
        pw_properties_set(props, PW_KEY_TARGET_OBJECT, options.target.c_str());
    }
    stream = pw_stream_new(core, options.description.c_str(), props);
    if (stream == nullptr) {
        std::string why = "cannot create the PipeWire stream: " + errnoText(errno);
        pw_thread_loop_unlock(loop);
        return why;
    }
    streamEvents.version = PW_VERSION_STREAM_EVENTS;
    streamEvents.state_changed = &PipeWireSession::onStateChanged;
    streamEvents.param_changed = &PipeWireSession::onParamChanged;
    streamEvents.process = &PipeWireSession::onProcess;
    pw_stream_add_listener(stream, &streamListener, &streamEvents, this);

    std::array<uint8_t, 1024> podBuffer{};
    spa_pod_builder builder{};
    spa_pod_builder_init(&builder, podBuffer.data(), podBuffer.size());
    spa_audio_info_raw info{};
    info.format = SPA_AUDIO_FORMAT_F32;
    info.rate = static_cast<uint32_t>(format.sampleRate);
    info.channels = static_cast<uint32_t>(format.channels);
    setPositions(info);
    std::array<const spa_pod*, 1> params{
        spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
    const auto flags = static_cast<pw_stream_flags>(
        PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS);
    const int res =
        pw_stream_connect(stream, PW_DIRECTION_OUTPUT, PW_ID_ANY, flags, params.data(), 1);
    if (res < 0) {
        pw_thread_loop_unlock(loop);
        return "cannot connect the PipeWire stream: " + errnoText(res);
    }

    starting = false;
    const bool ok = !failed;
    std::string why = failure;
    pw_thread_loop_unlock(loop);
    if (!ok) {
        return why;
    }
    return Done{};
}

void PipeWireSession::close() {
    if (loop == nullptr) {
        return;
    }
    pw_thread_loop_lock(loop);
    if (stream != nullptr) {
        // Destroying the stream takes it off the data thread: no process call runs after it.
        spa_hook_remove(&streamListener);
        pw_stream_destroy(stream);
        stream = nullptr;
    }
    if (wake != nullptr) {
        pw_loop_destroy_source(pw_thread_loop_get_loop(loop), wake);
        wake = nullptr;
    }
    if (core != nullptr) {
        spa_hook_remove(&coreListener);
        pw_core_disconnect(core);
        core = nullptr;
    }
    pw_thread_loop_unlock(loop);
    pw_thread_loop_stop(loop);
    if (context != nullptr) {
        pw_context_destroy(context);
        context = nullptr;
    }
    pw_thread_loop_destroy(loop);
    loop = nullptr;
}

void PipeWireSession::report(AudioChangeKind kind, std::string detail) {
    main.post([owner = owner, generation = generation,
               change = AudioConfigurationChange{kind, std::move(detail)}] {
        if (auto state = owner.lock()) {
            state->deliver(generation, change);
        }
    });
}

void PipeWireSession::fail(std::string text) {
    if (failed) {
        return;
    }
    failed = true;
    failure = std::move(text);
    if (!starting) {
        report(AudioChangeKind::error, failure); // a failure while starting is start()'s answer
    }
}

// What each pw_time field counts, and the formula, are described with StreamTiming. The
// delay is in ticks of the graph's rate (time.rate), not of the stream's; queued is in the
// unit we give pw_buffer.size (frames); buffered is in frames of the stream's rate.
RenderInfo PipeWireSession::timing(const pw_time& time, uint32_t& changes) {
    StreamClockSnapshot snapshot;
    snapshot.nowNs = time.now;
    snapshot.rateNum = time.rate.num;
    snapshot.rateDenom = time.rate.denom;
    snapshot.delayTicks = time.delay;
    snapshot.queuedFrames = time.queued;
    snapshot.bufferedFrames = time.buffered;
    changes = 0;
    return rtTiming.next(snapshot, time.now != 0 ? 0 : monotonicNs(), changes);
}

// Called after the buffer was rendered, so that start() returns only once a buffer exists
// that carries the timing it waited for.
void PipeWireSession::publishTiming(const RenderInfo& info, const pw_time& time, uint32_t changes) {
    if (changes == 0) {
        return;
    }
    latencyNs.store(info.outputLatencyNs, std::memory_order_relaxed);
    graphRateHz.store(time.rate.denom / time.rate.num, std::memory_order_relaxed);
    rtEvents.fetch_or(changes, std::memory_order_release);
    pw_loop_signal_event(pw_thread_loop_get_loop(loop), wake);
}

void PipeWireSession::onProcess(void* data) {
    auto& s = *static_cast<PipeWireSession*>(data);
    pw_buffer* buffer = pw_stream_dequeue_buffer(s.stream);
    if (buffer == nullptr) {
        return;
    }
    spa_data& d = buffer->buffer->datas[0];
    uint32_t frames = d.data != nullptr ? d.maxsize / s.stride : 0;
    if (buffer->requested != 0 && buffer->requested < frames) {
        frames = static_cast<uint32_t>(buffer->requested);
    }
    if (frames > 0) {
        pw_time time{};
        pw_stream_get_time_n(s.stream, &time, sizeof(time));
        uint32_t changes = 0;
        const RenderInfo info = s.timing(time, changes);
        s.renderer.render(static_cast<float*>(d.data), static_cast<int>(frames), info);
        s.publishTiming(info, time, changes);
    }
    d.chunk->offset = 0;
    d.chunk->stride = static_cast<int32_t>(s.stride);
    d.chunk->size = frames * s.stride;
    buffer->size = frames;
    pw_stream_queue_buffer(s.stream, buffer);
}

void PipeWireSession::onStateChanged(void* data, pw_stream_state old, pw_stream_state state,
                                     const char* error) {
    auto& s = *static_cast<PipeWireSession*>(data);
    (void)old;
    switch (state) {
    case PW_STREAM_STATE_ERROR:
        s.fail(fmt::format("PipeWire stream error: {}", error != nullptr ? error : "unknown"));
        break;
    case PW_STREAM_STATE_STREAMING:
        if (s.starting) {
            s.streamed = true;
        } else if (!s.streamed) {
            s.streamed = true;
            s.report(AudioChangeKind::device, "output linked to a device");
        } else if (s.interrupted) {
            s.interrupted = false;
            s.report(AudioChangeKind::recovered, "output plays again");
        }
        break;
    case PW_STREAM_STATE_UNCONNECTED:
    case PW_STREAM_STATE_CONNECTING:
    case PW_STREAM_STATE_PAUSED:
        if (s.streamed && !s.interrupted && !s.starting && !s.failed) {
            s.interrupted = true;
            s.report(AudioChangeKind::device,
                     fmt::format("output stopped ({})", pw_stream_state_as_string(state)));
        }
        break;
    }
}

void PipeWireSession::onParamChanged(void* data, uint32_t id, const spa_pod* param) {
    auto& s = *static_cast<PipeWireSession*>(data);
    if (id != SPA_PARAM_Format || param == nullptr) {
        return;
    }
    spa_audio_info_raw info{};
    if (spa_format_audio_raw_parse(param, &info) < 0) {
        return;
    }
    const bool changed =
        s.formatSeen && (info.rate != s.negotiated.rate || info.channels != s.negotiated.channels ||
                         info.format != s.negotiated.format);
    s.formatSeen = true;
    s.negotiated = info;
    if (changed && !s.starting) {
        s.report(AudioChangeKind::format,
                 fmt::format("stream format now {} Hz × {}", info.rate, info.channels));
    }
}

void PipeWireSession::onCoreError(void* data, uint32_t id, int seq, int res, const char* message) {
    auto& s = *static_cast<PipeWireSession*>(data);
    (void)seq;
    if (id != PW_ID_CORE) {
        return; // errors of our stream's objects also end the stream, reported there
    }
    s.fail(fmt::format("PipeWire connection lost: {} ({})",
                       message != nullptr ? message : "unknown", errnoText(res)));
}

void PipeWireSession::onWake(void* data, uint64_t count) {
    auto& s = *static_cast<PipeWireSession*>(data);
    (void)count;
    const uint32_t events = s.rtEvents.exchange(0, std::memory_order_acquire);
    if (s.starting) {
        return;
    }
    if ((events & StreamTiming::rateChanged) != 0) {
        s.report(
            AudioChangeKind::format,
            fmt::format("graph rate now {} Hz", s.graphRateHz.load(std::memory_order_relaxed)));
    }
    // A first timing that start() did not wait for tells the delay to sound for the first
    // time: for the owner, the latency has changed from unknown (0) to this.
    if ((events & (StreamTiming::latencyChanged | StreamTiming::firstTiming)) != 0) {
        const int64_t ns = s.latencyNs.load(std::memory_order_relaxed);
        s.report(AudioChangeKind::latency,
                 fmt::format("output latency now {:.3f} ms", static_cast<double>(ns) / 1e6));
    }
}

void PipeWireAudioOutput::State::deliver(uint64_t eventGeneration,
                                         const AudioConfigurationChange& change) {
    if (!session || session->generation != eventGeneration) {
        return; // from a session that has been stopped or replaced
    }
    if (change.kind == AudioChangeKind::error) {
        session.reset();
    }
    if (handler) {
        const ChangeHandler current = handler; // the handler may replace itself
        current(change);
    }
}

PipeWireAudioOutput::PipeWireAudioOutput(RunLoop& main) : PipeWireAudioOutput(main, Options{}) {}

PipeWireAudioOutput::PipeWireAudioOutput(RunLoop& main, Options options)
    : state_(std::make_shared<State>(main, std::move(options))) {}

PipeWireAudioOutput::~PipeWireAudioOutput() {
    stop();
}

Result<Done, std::string> PipeWireAudioOutput::start(const AudioFormat& format,
                                                     AudioRenderer& renderer) {
    stop();
    if (auto checked = checkAudioFormat(format); !checked) {
        return checked;
    }
    State& s = *state_;
    s.latencyNs.store(0, std::memory_order_relaxed);
    auto session =
        std::make_unique<PipeWireSession>(state_, s.main, ++s.generation, s.latencyNs, format,
                                          renderer, s.options.latencyToleranceNs);
    if (auto opened = session->open(s.options); !opened) {
        return opened; // the session closes itself
    }
    s.format = format;
    s.session = std::move(session);
    return Done{};
}

void PipeWireAudioOutput::stop() {
    state_->session.reset();
}

bool PipeWireAudioOutput::isRunning() const {
    return state_->session != nullptr;
}

AudioFormat PipeWireAudioOutput::format() const {
    return state_->format;
}

int64_t PipeWireAudioOutput::outputLatencyNs() const {
    return state_->latencyNs.load(std::memory_order_relaxed);
}

void PipeWireAudioOutput::setConfigurationChangeHandler(ChangeHandler handler) {
    state_->handler = std::move(handler);
}

} // namespace merriphonic
