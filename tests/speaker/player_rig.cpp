#include "tests/speaker/player_rig.h"

#include "tests/speaker/test_media.h"

#include <stdexcept>

namespace merriphonic::speaker_test {

namespace {

SimDeviceConfig deviceConfig(const RigOptions& options) {
    SimDeviceConfig config;
    config.name = "spk";
    config.clockOffsetNs = options.clockOffsetNs;
    config.clockSkewPpm = options.clockSkewPpm;
    return config;
}

SimAudioCardConfig cardConfig(const RigOptions& options) {
    SimAudioCardConfig config;
    config.crystalPpm = options.cardPpm;
    config.outputLatencyNs = options.latencyNs;
    config.latencyReportErrorNs = options.latencyErrorNs;
    config.periodFrames = options.periodFrames;
    config.captureAudio = options.capture;
    return config;
}

} // namespace

PlayerRig::PlayerRig(RigOptions options)
    : options(options), device(world, deviceConfig(options)),
      cards(world, device.clock(), cardConfig(options)) {
    device.context().audio = &cards;
    device.context().media = &media;
    player = SyncPlayer::create(device.context(), "speaker");
    player->offsetProvider = [this] {
        return world.nowNs() - device.clock().nowNs() + extraOffsetNs;
    };
    player->onEnded = [this] {
        ++ended;
        endedAtWorldNs = world.nowNs();
    };
}

PlayerRig::~PlayerRig() {
    player.reset();
}

void PlayerRig::play(const std::string& file, int64_t startInNs, int64_t positionMs, bool drift) {
    if (!player->load(mediaFile(file))) {
        throw std::runtime_error("cannot load " + file);
    }
    timeline = PlaySpec{world.nowNs() + startInNs, positionMs};
    player->spec = timeline;
    player->schedule("play");
    if (drift) {
        player->startDriftTimer();
    }
}

double PlayerRig::plannedWorldNs(double mediaFrame) const {
    return static_cast<double>(timeline->startAtHostNs) +
           (mediaFrame / songRate * 1000.0 - static_cast<double>(timeline->positionMs)) * 1e6;
}

std::optional<double> PlayerRig::alignmentNs(const SimHeardBuffer& buffer) const {
    if (!buffer.mediaFrame || !timeline) {
        return std::nullopt;
    }
    return static_cast<double>(buffer.heardWorldNs) - plannedWorldNs(*buffer.mediaFrame);
}

std::vector<double> PlayerRig::alignmentsSince(int64_t worldNs) const {
    std::vector<double> result;
    for (const SimHeardBuffer& buffer : card().heardBuffers()) {
        if (buffer.heardWorldNs >= worldNs) {
            if (const auto alignment = alignmentNs(buffer)) {
                result.push_back(*alignment);
            }
        }
    }
    return result;
}

size_t PlayerRig::logCount(std::string_view text) {
    return device.logSink().count(text);
}

std::vector<std::string> PlayerRig::logLines(std::string_view text) {
    std::vector<std::string> lines;
    for (const std::string& line : device.logSink().messages()) {
        if (line.find(text) != std::string::npos) {
            lines.push_back(line);
        }
    }
    return lines;
}

std::vector<double> clickFrames(const std::vector<float>& interleaved, int channels,
                                float threshold) {
    std::vector<double> peaks;
    const size_t frames = interleaved.size() / static_cast<size_t>(channels);
    auto at = [&](size_t i) { return interleaved[i * static_cast<size_t>(channels)]; };
    for (size_t i = 1; i + 1 < frames; ++i) {
        const float y0 = at(i - 1);
        const float y1 = at(i);
        const float y2 = at(i + 1);
        if (y1 > threshold && y1 >= y0 && y1 > y2) {
            // The vertex of the parabola through the three samples.
            const double denominator = y0 - 2.0 * y1 + y2;
            const double shift = denominator != 0.0 ? 0.5 * (y0 - y2) / denominator : 0.0;
            peaks.push_back(static_cast<double>(i) + shift);
        }
    }
    return peaks;
}

} // namespace merriphonic::speaker_test
