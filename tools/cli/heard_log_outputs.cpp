#include "tools/cli/heard_log_outputs.h"

#include <cerrno>
#include <cstring>
#include <optional>
#include <utility>

#include "platform/audio_position_probe.h"
#include "speaker/spsc_queue.h"

namespace merriphonic {

// Render thread → main loop, one per output.
struct HeardLogOutputs::Queue {
    SpscQueue<HeardBuffer, queueCapacity> buffers;
    std::atomic<int64_t> dropped{0};
};

namespace {

// Sits between an output and the renderer it was given.
class Recorder final : public AudioRenderer {
public:
    explicit Recorder(std::shared_ptr<HeardLogOutputs::Queue> queue) : queue_(std::move(queue)) {}

    // Set while the output is stopped.
    void use(AudioRenderer& renderer, int sampleRate, int stream) {
        renderer_ = &renderer;
        // The player's renderer tells its position, as it does to the simulated sound card.
        probe_ = renderer.positionProbe();
        sampleRate_ = sampleRate;
        stream_ = stream;
    }

    void render(float* interleaved, int frames, const RenderInfo& info) noexcept override {
        renderer_->render(interleaved, frames, info);
        if (probe_ == nullptr) {
            return;
        }
        const std::optional<double> mediaFrame = probe_->mediaFrameAtLastBuffer();
        if (!mediaFrame) {
            return;
        }
        const HeardBuffer buffer{info.handOffNs + info.outputLatencyNs, *mediaFrame, frames,
                                 sampleRate_, stream_};
        if (!queue_->buffers.push(buffer)) {
            queue_->dropped.fetch_add(1, std::memory_order_relaxed);
        }
    }

private:
    std::shared_ptr<HeardLogOutputs::Queue> queue_;
    AudioRenderer* renderer_ = nullptr;
    const AudioPositionProbe* probe_ = nullptr;
    int sampleRate_ = 0;
    int stream_ = 0;
};

class HeardLogOutput final : public AudioOutput {
public:
    HeardLogOutput(std::unique_ptr<AudioOutput> output,
                   std::shared_ptr<HeardLogOutputs::Queue> queue,
                   std::shared_ptr<std::atomic<int>> streams)
        : output_(std::move(output)), recorder_(std::move(queue)), streams_(std::move(streams)) {}
    ~HeardLogOutput() override { output_->stop(); }
    HeardLogOutput(const HeardLogOutput&) = delete;
    HeardLogOutput& operator=(const HeardLogOutput&) = delete;

    Result<Done, std::string> start(const AudioFormat& format, AudioRenderer& renderer) override {
        // The recorder changes only while nothing renders through it.
        output_->stop();
        recorder_.use(renderer, format.sampleRate, streams_->fetch_add(1) + 1);
        return output_->start(format, recorder_);
    }
    void stop() override { output_->stop(); }
    [[nodiscard]] bool isRunning() const override { return output_->isRunning(); }
    [[nodiscard]] AudioFormat format() const override { return output_->format(); }
    [[nodiscard]] int64_t outputLatencyNs() const override { return output_->outputLatencyNs(); }
    void setConfigurationChangeHandler(ChangeHandler handler) override {
        output_->setConfigurationChangeHandler(std::move(handler));
    }

private:
    std::unique_ptr<AudioOutput> output_;
    Recorder recorder_;
    std::shared_ptr<std::atomic<int>> streams_;
};

} // namespace

Result<std::unique_ptr<HeardLogOutputs>, std::string>
HeardLogOutputs::open(AudioOutputFactory& outputs, RunLoop& main,
                      const std::filesystem::path& file) {
    std::ofstream out(file, std::ios::out | std::ios::trunc);
    if (!out || !(out << HeardLog::header) || !out.flush()) {
        return std::string(std::strerror(errno));
    }
    return std::unique_ptr<HeardLogOutputs>(new HeardLogOutputs(outputs, main, std::move(out)));
}

HeardLogOutputs::HeardLogOutputs(AudioOutputFactory& outputs, RunLoop& main, std::ofstream file)
    : outputs_(outputs), file_(std::move(file)), streams_(std::make_shared<std::atomic<int>>(0)) {
    flushTimer_ = main.every(flushPeriodNs, [this] { flush(); });
}

HeardLogOutputs::~HeardLogOutputs() {
    flushTimer_.cancel();
    flush();
}

std::unique_ptr<AudioOutput> HeardLogOutputs::makeOutput(RunLoop& main) {
    auto queue = std::make_shared<Queue>();
    queues_.push_back(queue);
    return std::make_unique<HeardLogOutput>(outputs_.makeOutput(main), std::move(queue), streams_);
}

void HeardLogOutputs::flush() {
    std::string text;
    for (const std::shared_ptr<Queue>& queue : queues_) {
        while (const std::optional<HeardBuffer> buffer = queue->buffers.pop()) {
            text += HeardLog::line(*buffer);
        }
        dropped_ += queue->dropped.exchange(0, std::memory_order_relaxed);
    }
    // An output that is gone has nothing more to say once its queue is empty.
    std::erase_if(queues_,
                  [](const std::shared_ptr<Queue>& queue) { return queue.use_count() == 1; });
    if (!text.empty()) {
        file_ << text;
        file_.flush();
    }
}

int64_t HeardLogOutputs::droppedBuffers() const {
    return dropped_;
}

} // namespace merriphonic
