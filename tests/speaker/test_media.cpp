#include "tests/speaker/test_media.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <mutex>
#include <stdexcept>
#include <vector>

extern char** environ; // NOLINT(readability-redundant-declaration)

namespace merriphonic::speaker_test {

namespace {

bool run(std::vector<std::string> arguments) {
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 1);
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        return false;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

class Folder {
public:
    Folder() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "merriphonic-player-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("cannot make a temporary folder");
        }
        root_ = pattern;
    }
    ~Folder() {
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
    Folder(const Folder&) = delete;
    Folder& operator=(const Folder&) = delete;

    std::filesystem::path get(const std::string& name) {
        const std::lock_guard<std::mutex> lock(mutex_);
        std::filesystem::path file = root_ / name;
        if (!std::filesystem::exists(file)) {
            make(name, file);
        }
        return file;
    }

private:
    static void make(const std::string& name, const std::filesystem::path& file) {
        static const std::map<std::string, std::pair<std::string, std::string>> recipes{
            {"step.wav", {"exprs='0.5|0.5':s=44100:d=2", "pcm_s16le"}},
            {"clicks.wav",
             {"exprs='if(eq(mod(n,11025),0),0.9,0)|if(eq(mod(n,11025),0),0.9,0)':s=44100:d=10",
              "pcm_s16le"}},
            {"tone.wav",
             {"exprs='0.5*sin(2*PI*440*t)|0.5*sin(2*PI*440*t)':s=44100:d=6", "pcm_s16le"}},
            {"short.wav",
             {"exprs='0.5*sin(2*PI*440*t)|0.5*sin(2*PI*440*t)':s=44100:d=1", "pcm_s16le"}},
            {"mono48k.wav", {"exprs='0.5*sin(2*PI*440*t)':s=48000:d=3", "pcm_s16le"}},
            {"song.m4a",
             {"exprs='0.3*sin(2*PI*(220+30*sin(t))*t)+0.2*sin(2*PI*660*t)*sin(3*t)|0.3*sin(2*PI*"
              "(330+20*sin(t))*t)+0.15*sin(2*PI*880*t)*cos(2*t)':s=44100:d=60",
              "aac"}},
        };
        const auto recipe = recipes.find(name);
        if (recipe == recipes.end()) {
            throw std::runtime_error("no recipe for " + name);
        }
        if (!run({"ffmpeg", "-nostdin", "-y", "-hide_banner", "-f", "lavfi", "-i",
                  "aevalsrc=" + recipe->second.first, "-c:a", recipe->second.second,
                  file.string()})) {
            throw std::runtime_error("ffmpeg could not make " + name);
        }
    }

    std::filesystem::path root_;
    std::mutex mutex_;
};

} // namespace

std::filesystem::path mediaFile(const std::string& name) {
    static Folder folder;
    return folder.get(name);
}

} // namespace merriphonic::speaker_test
