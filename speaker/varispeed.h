#pragma once

#include <cstdint>
#include <vector>

struct SRC_STATE_tag;

namespace merriphonic {

// Where the variable-rate stage takes its input from. pull() must fill every frame asked for
// (silence where there is nothing to play) and is called on the render thread.
class VarispeedSource {
public:
    virtual void pull(float* interleaved, int frames) noexcept = 0;

protected:
    VarispeedSource() = default;
    ~VarispeedSource() = default;
    VarispeedSource(const VarispeedSource&) = default;
    VarispeedSource& operator=(const VarispeedSource&) = default;
};

// Plays its input at a variable rate (and pitch) through a band-limited sinc converter. The
// rate is in input frames per output frame: 1.0 is nominal, 0.997 plays 0.3 % slower.
//
// The converter is time-aligned: output frame k of a run that began at reset() is the input
// read at position(k) = the sum of the rates of the k frames before it, counted in input
// frames from the first one pulled after reset(). It reads a few dozen frames ahead of that
// position to compute each output frame; position() is the frame really being put out, not
// the last one pulled. Everything but construction is for the render thread and neither
// allocates nor locks.
class Varispeed {
public:
    static constexpr int stagingFrames = 256;

    explicit Varispeed(int channels);
    ~Varispeed();
    Varispeed(const Varispeed&) = delete;
    Varispeed& operator=(const Varispeed&) = delete;

    // Forgets the input and starts a new run at position 0 with silence before it.
    void reset() noexcept;
    // Fills frames output frames, pulling input as needed. rate must lie in (1/256, 256).
    void process(float* interleaved, int frames, double rate, VarispeedSource& source) noexcept;
    // Input position of the next output frame.
    [[nodiscard]] double position() const noexcept { return position_; }
    // False when the converter could not be created or failed; process() then gives silence.
    [[nodiscard]] bool isUsable() const noexcept { return state_ != nullptr && !failed_; }
    [[nodiscard]] int channels() const noexcept { return channels_; }

private:
    int channels_;
    SRC_STATE_tag* state_ = nullptr;
    double ratio_ = 0.0; // output frames per input frame, as last given to the converter
    double position_ = 0.0;
    bool failed_ = false;
    std::vector<float> staging_;
    int stagedOffset_ = 0; // first staged frame not yet taken by the converter
    int stagedFrames_ = 0;
};

} // namespace merriphonic
