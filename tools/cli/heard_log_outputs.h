#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "core/result.h"
#include "platform/audio_output.h"
#include "platform/run_loop.h"
#include "tools/cli/heard_log.h"

namespace merriphonic {

// Sound outputs that keep a heard log: each wraps an output of another factory and notes, per
// buffer its renderer filled with media, when that buffer's first frame is heard and which
// media frame the renderer placed there (a renderer that can tell offers a position probe). The
// render thread only queues the note; the main loop writes the queued notes to the file
// every flushPeriodNs and when the factory goes away.
class HeardLogOutputs final : public AudioOutputFactory {
public:
    static constexpr int64_t flushPeriodNs = 250'000'000;
    // Notes an output may queue between two writes; further ones are counted and dropped.
    static constexpr size_t queueCapacity = 4096;

    // Starts the file afresh; else why it can't be written.
    static Result<std::unique_ptr<HeardLogOutputs>, std::string>
    open(AudioOutputFactory& outputs, RunLoop& main, const std::filesystem::path& file);
    ~HeardLogOutputs() override;
    HeardLogOutputs(const HeardLogOutputs&) = delete;
    HeardLogOutputs& operator=(const HeardLogOutputs&) = delete;

    std::unique_ptr<AudioOutput> makeOutput(RunLoop& main) override;

    // Writes what was noted so far. Main loop.
    void flush();
    // Notes dropped because the main loop fell behind.
    [[nodiscard]] int64_t droppedBuffers() const;
    // False once a write has failed (a full disk): the log is incomplete.
    [[nodiscard]] bool good() const { return file_.good(); }

    struct Queue;

private:
    HeardLogOutputs(AudioOutputFactory& outputs, RunLoop& main, std::ofstream file);

    AudioOutputFactory& outputs_;
    std::ofstream file_;
    std::vector<std::shared_ptr<Queue>> queues_;
    std::shared_ptr<std::atomic<int>> streams_;
    int64_t dropped_ = 0;
    ScopedTimer flushTimer_;
};

} // namespace merriphonic
