#pragma once

// Media files made at test time with the ffmpeg command-line tool, and checks that look at
// files from outside our own code (the CLI decoder, a tone's power).

#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/files.h"

namespace merriphonic::testmedia {

struct CommandResult {
    int status = -1;
    std::string output; // standard output; standard error is dropped
};

// Runs the program with the arguments, each passed as it stands (quoted for the shell).
inline CommandResult runCommand(const std::vector<std::string>& arguments) {
    std::string command;
    for (const std::string& argument : arguments) {
        command += '\'';
        for (const char c : argument) {
            command += c == '\'' ? std::string("'\\''") : std::string(1, c);
        }
        command += "' ";
    }
    CommandResult result;
    FILE* pipe = popen((command + "2>/dev/null").c_str(), "r");
    if (pipe == nullptr) {
        return result;
    }
    char buffer[65536];
    for (size_t got = 0; (got = fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        result.output.append(buffer, got);
    }
    const int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

inline constexpr int testRate = 44100;
// An odd length, so that nothing lines up with codec frames by accident.
inline constexpr int64_t testFrames = 132'320;

// The ffmpeg input arguments of a generated signal of testFrames frames (at `rate`).
inline std::vector<std::string> signal(const std::string& expressions, int rate,
                                       const std::string& layout, int64_t frames = testFrames) {
    const std::string duration = std::to_string(static_cast<double>(frames) / rate);
    return {"-f", "lavfi", "-i",
            "aevalsrc=exprs='" + expressions + "':s=" + std::to_string(rate) + ":c=" + layout +
                ":d=" + duration};
}

inline const char* chirpLeft = "0.5*sin(2*PI*(300+900*t)*t)";
inline const char* chirpRight = "0.4*sin(2*PI*(700+500*t)*t)";

// A folder of generated media, each file made on first use and kept for the whole run.
class MediaFolder {
public:
    [[nodiscard]] const std::filesystem::path& root() const { return folder_.path(); }
    [[nodiscard]] std::filesystem::path path(const std::string& name) const {
        return root() / name;
    }

    // The named file of the catalogue in make(), made on first request.
    std::filesystem::path get(const std::string& name) {
        const std::lock_guard<std::recursive_mutex> lock(mutex_);
        std::filesystem::path file = path(name);
        if (!std::filesystem::exists(file)) {
            make(name, file);
        }
        return file;
    }

    // Runs ffmpeg with the arguments, writing `name`.
    std::filesystem::path ffmpeg(const std::string& name, std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(),
                         {"ffmpeg", "-nostdin", "-y", "-hide_banner", "-loglevel", "error"});
        arguments.push_back(path(name).string());
        if (runCommand(arguments).status != 0) {
            throw std::runtime_error("ffmpeg could not make " + name);
        }
        return path(name);
    }

private:
    void make(const std::string& name, const std::filesystem::path& file) {
        const auto wav = [](const std::string& expressions, int rate, const std::string& layout) {
            std::vector<std::string> arguments = signal(expressions, rate, layout);
            arguments.insert(arguments.end(), {"-c:a", "pcm_s16le"});
            return arguments;
        };
        const std::string tone = "0.5*sin(2*PI*440*t)|0.5*sin(2*PI*660*t)";
        // ffmpeg arguments per file; "@name" stands for another file of the catalogue.
        const std::map<std::string, std::vector<std::string>> recipes{
            {"chirp.wav", wav(std::string(chirpLeft) + "|" + chirpRight, testRate, "stereo")},
            {"tone-mono.wav", wav("0.5*sin(2*PI*440*t)", testRate, "mono")},
            {"tone-stereo.wav", wav(tone, testRate, "stereo")},
            {"tone-96k.wav", wav(tone, 96000, "stereo")},
            // Left 440 Hz, right 660 Hz, centre 550 Hz, low 60 Hz, back left and right.
            {"tone-5.1.wav",
             wav("0.3*sin(2*PI*440*t)|0.3*sin(2*PI*660*t)|0.3*sin(2*PI*550*t)|0.1*sin(2*PI*60*t)|"
                 "0.2*sin(2*PI*440*t)|0.2*sin(2*PI*660*t)",
                 testRate, "5.1")},
            {"chirp-64k.mp3", {"-i", "@chirp.wav", "-c:a", "libmp3lame", "-b:a", "64k"}},
            {"chirp-320k.mp3", {"-i", "@chirp.wav", "-c:a", "libmp3lame", "-b:a", "320k"}},
            {"chirp.m4a", {"-i", "@chirp.wav", "-c:a", "aac", "-b:a", "128k"}},
            {"tagged.mp3",
             {"-i", "@tone-mono.wav", "-c:a", "libmp3lame", "-b:a", "64k", "-metadata",
              "title= \t Ünïcode Song \n", "-metadata", "artist=   "}},
            {"tagged.ogg",
             {"-i", "@tone-mono.wav", "-c:a", "libvorbis", "-metadata", "title=\nOgg Title  ",
              "-metadata", "artist= Someone"}},
            {"picture.png", {"-f", "lavfi", "-i", "color=c=red:s=16x16", "-frames:v", "1"}}};

        if (const auto found = recipes.find(name); found != recipes.end()) {
            std::vector<std::string> arguments = found->second;
            for (std::string& argument : arguments) {
                argument = argument.starts_with('@') ? get(argument.substr(1)).string() : argument;
            }
            ffmpeg(name, arguments);
        } else if (name == "truncated.mp3") { // the first 60 % of an mp3
            std::ifstream in(get("chirp-64k.mp3"), std::ios::binary);
            std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
            bytes.resize(bytes.size() * 6 / 10);
            std::ofstream(file, std::ios::binary) << bytes;
        } else if (name == "empty.mp3") {
            std::ofstream(file, std::ios::binary).flush();
        } else if (name == "song") { // an mp3 without an extension
            std::filesystem::copy_file(get("chirp-64k.mp3"), file);
        } else {
            throw std::runtime_error("no recipe for " + name);
        }
    }

    TemporaryFolder folder_{std::filesystem::temp_directory_path() / "merriphonic-media-"};
    std::recursive_mutex mutex_;
};

// One folder per test binary.
inline MediaFolder& media() {
    static MediaFolder folder;
    return folder;
}

// The file decoded by the ffmpeg CLI into interleaved float at its own rate and channels.
inline std::vector<float> decodeWithCli(const std::filesystem::path& file) {
    const CommandResult result =
        runCommand({"ffmpeg", "-nostdin", "-v", "error", "-i", file.string(), "-f", "f32le", "-"});
    std::vector<float> samples(result.output.size() / sizeof(float));
    std::memcpy(samples.data(), result.output.data(), samples.size() * sizeof(float));
    return samples;
}

// Power of one frequency in one channel (Goertzel), normalised by the number of frames.
inline double tonePower(const std::vector<float>& interleaved, int channels, int channel, int rate,
                        double frequency) {
    const size_t frames = interleaved.size() / static_cast<size_t>(channels);
    const double coefficient = 2.0 * std::cos(2.0 * M_PI * frequency / rate);
    double previous = 0;
    double beforePrevious = 0;
    for (size_t i = 0; i < frames; ++i) {
        const double current =
            interleaved[i * channels + channel] + coefficient * previous - beforePrevious;
        beforePrevious = previous;
        previous = current;
    }
    const double power = previous * previous + beforePrevious * beforePrevious -
                         coefficient * previous * beforePrevious;
    return frames == 0 ? 0.0 : power / (static_cast<double>(frames) * frames);
}

} // namespace merriphonic::testmedia
