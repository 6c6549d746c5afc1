#pragma once

// Media files made at test time with the ffmpeg command-line tool, and checks that look at
// files from outside our own code (ffprobe, the CLI decoder, the raw box order).

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ; // NOLINT(readability-redundant-declaration)

namespace merriphonic::testmedia {

struct CommandResult {
    int status = -1;
    std::string output; // standard output; standard error is dropped
};

inline CommandResult runCommand(const std::vector<std::string>& arguments) {
    CommandResult result;
    int fds[2];
    if (pipe(fds) != 0) {
        return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 1);
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (spawned != 0) {
        close(fds[0]);
        return result;
    }
    char buffer[65536];
    ssize_t got = 0;
    while ((got = ::read(fds[0], buffer, sizeof buffer)) > 0) {
        result.output.append(buffer, static_cast<size_t>(got));
    }
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
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
    MediaFolder() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "merriphonic-media-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("cannot make a temporary folder");
        }
        root_ = pattern;
    }
    ~MediaFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
    MediaFolder(const MediaFolder&) = delete;
    MediaFolder& operator=(const MediaFolder&) = delete;

    [[nodiscard]] const std::filesystem::path& root() const { return root_; }
    [[nodiscard]] std::filesystem::path path(const std::string& name) const { return root_ / name; }

    // The named file of the catalogue below, made on first request.
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
        std::vector<std::string> command{"ffmpeg",       "-nostdin",  "-y",
                                         "-hide_banner", "-loglevel", "error"};
        command.insert(command.end(), arguments.begin(), arguments.end());
        command.push_back(path(name).string());
        if (runCommand(command).status != 0) {
            throw std::runtime_error("ffmpeg could not make " + name);
        }
        return path(name);
    }

private:
    void make(const std::string& name, const std::filesystem::path& file) {
        const std::string stereoChirp = std::string(chirpLeft) + "|" + chirpRight;
        const std::string stereoTone = "0.5*sin(2*PI*440*t)|0.5*sin(2*PI*660*t)";
        auto from = [&](const std::string& source, std::vector<std::string> codec) {
            std::vector<std::string> arguments{"-i", get(source).string()};
            arguments.insert(arguments.end(), codec.begin(), codec.end());
            ffmpeg(name, arguments);
        };
        auto generate = [&](const std::string& expressions, int rate, const std::string& layout,
                            std::vector<std::string> codec) {
            std::vector<std::string> arguments = signal(expressions, rate, layout);
            arguments.insert(arguments.end(), codec.begin(), codec.end());
            ffmpeg(name, arguments);
        };
        if (name == "chirp.wav") {
            generate(stereoChirp, testRate, "stereo", {"-c:a", "pcm_s16le"});
        } else if (name == "tone-mono.wav") {
            generate("0.5*sin(2*PI*440*t)", testRate, "mono", {"-c:a", "pcm_s16le"});
        } else if (name == "tone-stereo.wav") {
            generate(stereoTone, testRate, "stereo", {"-c:a", "pcm_s16le"});
        } else if (name == "tone-5.1.wav") {
            generate("0.3*sin(2*PI*440*t)|0.3*sin(2*PI*660*t)|0.3*sin(2*PI*550*t)|0.1*sin(2*PI*"
                     "60*t)|0.2*sin(2*PI*440*t)|0.2*sin(2*PI*660*t)",
                     testRate, "5.1", {"-c:a", "pcm_s16le"});
        } else if (name == "tone-96k.wav") {
            generate(stereoTone, 96000, "stereo", {"-c:a", "pcm_s16le"});
        } else if (name == "tone-22k.wav") {
            generate(stereoTone, 22050, "stereo", {"-c:a", "pcm_s16le"});
        } else if (name == "chirp-64k.mp3") {
            from("chirp.wav", {"-c:a", "libmp3lame", "-b:a", "64k"});
        } else if (name == "chirp-320k.mp3") {
            from("chirp.wav", {"-c:a", "libmp3lame", "-b:a", "320k"});
        } else if (name == "chirp.m4a") {
            from("chirp.wav", {"-c:a", "aac", "-b:a", "128k"});
        } else if (name == "chirp.flac") {
            from("chirp.wav", {"-c:a", "flac"});
        } else if (name == "chirp.ogg") {
            from("chirp.wav", {"-c:a", "libvorbis", "-q:a", "4"});
        } else if (name == "tagged.mp3") {
            from("tone-mono.wav", {"-c:a", "libmp3lame", "-b:a", "64k", "-metadata",
                                   "title= \t Ünïcode Song \n", "-metadata", "artist=   "});
        } else if (name == "tagged.ogg") {
            from("tone-mono.wav", {"-c:a", "libvorbis", "-metadata", "title=\nOgg Title  ",
                                   "-metadata", "artist= Someone"});
        } else if (name == "picture.png") {
            ffmpeg(name, {"-f", "lavfi", "-i", "color=c=red:s=16x16", "-frames:v", "1"});
        } else if (name == "truncated.mp3") {
            copyPrefix(get("chirp-64k.mp3"), file, 0.6);
        } else if (name == "faststart.m4a") {
            from("chirp.wav", {"-c:a", "aac", "-movflags", "+faststart"});
        } else if (name == "truncated.m4a") {
            copyPrefix(get("faststart.m4a"), file, 0.5);
        } else if (name == "empty.mp3") {
            std::ofstream(file, std::ios::binary).flush();
        } else if (name == "song") {
            std::filesystem::copy_file(get("chirp-64k.mp3"), file);
        } else {
            throw std::runtime_error("no recipe for " + name);
        }
    }

    static void copyPrefix(const std::filesystem::path& from, const std::filesystem::path& to,
                           double fraction) {
        std::ifstream in(from, std::ios::binary);
        std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
        bytes.resize(static_cast<size_t>(static_cast<double>(bytes.size()) * fraction));
        std::ofstream(to, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
    }

    std::filesystem::path root_;
    std::recursive_mutex mutex_;
};

// One folder per test binary.
inline MediaFolder& media() {
    static MediaFolder folder;
    return folder;
}

// One ffprobe field of the first audio stream ("codec_name", "profile", "sample_rate", ...).
inline std::string probeField(const std::filesystem::path& file, const std::string& field) {
    const CommandResult result =
        runCommand({"ffprobe", "-v", "error", "-select_streams", "a:0", "-show_entries",
                    "stream=" + field, "-of", "default=noprint_wrappers=1:nokey=1", file.string()});
    std::string text = result.output;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    return text;
}

// The file decoded by the ffmpeg CLI into interleaved float at its own rate and channels.
inline std::vector<float> decodeWithCli(const std::filesystem::path& file) {
    const CommandResult result =
        runCommand({"ffmpeg", "-nostdin", "-v", "error", "-i", file.string(), "-f", "f32le", "-"});
    std::vector<float> samples(result.output.size() / sizeof(float));
    std::memcpy(samples.data(), result.output.data(), samples.size() * sizeof(float));
    return samples;
}

// Names of the top-level boxes of an MPEG-4 file, in file order.
inline std::vector<std::string> topLevelBoxes(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::vector<std::string> names;
    const auto fileSize = static_cast<uint64_t>(std::filesystem::file_size(file));
    uint64_t offset = 0;
    while (offset + 8 <= fileSize) {
        unsigned char header[16];
        in.seekg(static_cast<std::streamoff>(offset));
        in.read(reinterpret_cast<char*>(header), 8);
        uint64_t size = (uint64_t{header[0]} << 24) | (uint64_t{header[1]} << 16) |
                        (uint64_t{header[2]} << 8) | header[3];
        names.emplace_back(reinterpret_cast<char*>(header + 4), 4);
        if (size == 1) {
            in.read(reinterpret_cast<char*>(header + 8), 8);
            size = 0;
            for (int i = 8; i < 16; ++i) {
                size = (size << 8) | header[i];
            }
        } else if (size == 0) {
            size = fileSize - offset;
        }
        if (size < 8) {
            break;
        }
        offset += size;
    }
    return names;
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

// Frequency of a steady tone in one channel, from its rising zero crossings.
inline double toneFrequency(const std::vector<float>& interleaved, int channels, int channel,
                            int rate) {
    const size_t frames = interleaved.size() / static_cast<size_t>(channels);
    const size_t margin = std::min<size_t>(4096, frames / 4);
    int64_t first = -1;
    int64_t last = -1;
    int64_t crossings = 0;
    for (size_t i = margin + 1; i + margin < frames; ++i) {
        const float before = interleaved[(i - 1) * channels + channel];
        const float now = interleaved[i * channels + channel];
        if (before < 0.0F && now >= 0.0F) {
            if (first < 0) {
                first = static_cast<int64_t>(i);
            } else {
                ++crossings;
            }
            last = static_cast<int64_t>(i);
        }
    }
    if (crossings == 0) {
        return 0.0;
    }
    return static_cast<double>(crossings) * rate / static_cast<double>(last - first);
}

} // namespace merriphonic::testmedia
