#pragma once

// Audio files made at test time with the ffmpeg command-line tool, once per test binary.

#include <filesystem>
#include <string>

namespace merriphonic::speaker_test {

inline constexpr int clickSpacingFrames = 11025;

// The named file, made on first use:
//   step.wav    2 s of a constant 0.5 (stereo, 44.1 kHz): its first frame is a sharp onset
//   clicks.wav  10 s of silence with a 0.9 impulse every clickSpacingFrames (stereo, 44.1 kHz)
//   tone.wav    6 s of a 440 Hz sine of amplitude 0.5 (stereo, 44.1 kHz)
//   short.wav   1 s of the same tone
//   mono48k.wav 3 s of a 440 Hz sine (mono, 48 kHz)
//   song.m4a    60 s of a music-like signal in AAC (stereo, 44.1 kHz)
std::filesystem::path mediaFile(const std::string& name);

} // namespace merriphonic::speaker_test
