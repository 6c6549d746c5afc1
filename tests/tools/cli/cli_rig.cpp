#include "tests/tools/cli/cli_rig.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "tests/platform/ffmpeg/test_media.h"

namespace merriphonic::test {

namespace {

constexpr auto pollPeriod = std::chrono::milliseconds(20);

std::string readAll(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace

CliProcess::CliProcess(const std::filesystem::path& folder,
                       const std::vector<std::string>& arguments,
                       const std::map<std::string, std::string>& environment)
    : outFile_(folder / "stdout"), errFile_(folder / "stderr") {
    // env(1) puts the process's own variables over the ones it inherits, then starts it.
    std::vector<std::string> argumentTexts{"/usr/bin/env"};
    for (const auto& [name, value] : environment) {
        argumentTexts.push_back(name);
        argumentTexts.back().append("=").append(value);
    }
    argumentTexts.emplace_back(CLI_PATH);
    argumentTexts.insert(argumentTexts.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    argv.reserve(argumentTexts.size() + 1);
    for (std::string& text : argumentTexts) {
        argv.push_back(text.data());
    }
    argv.push_back(nullptr);

    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[0], STDIN_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outFile_.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errFile_.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int error = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[0]);
    input_ = pipeFds[1];
    if (error != 0) {
        pid_ = -1;
        throw std::runtime_error("cannot start merriphonic-cli");
    }
}

CliProcess::~CliProcess() {
    if (running()) {
        ADD_FAILURE() << "merriphonic-cli still running at the end of the test; killed";
        kill(pid_, SIGKILL);
        wait(std::chrono::seconds(10));
    }
    if (input_ >= 0) {
        close(input_);
    }
}

void CliProcess::signal(int number) const {
    kill(pid_, number);
}

void CliProcess::type(const std::string& text) const {
    EXPECT_EQ(write(input_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
}

std::optional<int> CliProcess::wait(std::chrono::milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!status_ && pid_ > 0) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        } else if (std::chrono::steady_clock::now() >= until) {
            break;
        } else {
            std::this_thread::sleep_for(pollPeriod);
        }
    }
    return status_;
}

bool CliProcess::running() {
    return pid_ > 0 && !wait(std::chrono::milliseconds(0));
}

std::string CliProcess::out() const {
    return readAll(outFile_);
}

std::string CliProcess::err() const {
    return readAll(errFile_);
}

bool CliProcess::waitForOut(const std::string& text, std::chrono::milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (out().find(text) == std::string::npos) {
        if (!running() || std::chrono::steady_clock::now() >= until) {
            return out().find(text) != std::string::npos;
        }
        std::this_thread::sleep_for(pollPeriod);
    }
    return true;
}

CliRig::CliRig() {
    std::filesystem::create_directories(root_.path() / "run");
    std::filesystem::permissions(root_.path() / "run", std::filesystem::perms::owner_all);
}

CliRig::~CliRig() {
    processes_.clear();
}

CliProcess& CliRig::start(const std::string& user, const std::vector<std::string>& arguments) {
    const std::filesystem::path home = root_.path() / user;
    const std::filesystem::path config = home / "config" / "Merriphonic";
    if (!std::filesystem::exists(config)) {
        std::filesystem::create_directories(config);
        std::ofstream(config / "Merriphonic.conf") << "[General]\nname=" << user << "\n";
    }
    const std::filesystem::path folder = root_.path() / ("process-" + std::to_string(++started_));
    std::filesystem::create_directories(folder);
    std::map<std::string, std::string> environment{
        {"MERRIPHONIC_RADIO", "local"},
        {"MERRIPHONIC_AUDIO", "null"},
        {"XDG_RUNTIME_DIR", (root_.path() / "run").string()},
        {"XDG_CONFIG_HOME", (home / "config").string()},
        {"XDG_DATA_HOME", (home / "data").string()},
        {"XDG_CACHE_HOME", (home / "cache").string()}};
    // The ThreadSanitizer pass: a program built with it looks past the libraries built without.
    if (const char* options = std::getenv("TSAN_OPTIONS")) {
        environment["TSAN_OPTIONS"] =
            std::string(options) + ":suppressions=" + std::string(TSAN_SUPPRESSIONS);
    }
    processes_.push_back(std::make_unique<CliProcess>(folder, arguments, environment));
    return *processes_.back();
}

std::vector<std::string> CliRig::advertisedParties() const {
    std::vector<std::string> records;
    std::error_code error;
    for (const auto& entry :
         std::filesystem::directory_iterator(root_.path() / "run" / "merriphonic-local", error)) {
        if (entry.path().extension() == ".json") {
            records.push_back(readAll(entry.path()));
        }
    }
    return records;
}

std::filesystem::path CliRig::song(double seconds) const {
    const std::string name = "song-" + std::to_string(static_cast<int>(seconds * 1000)) + ".wav";
    const auto frames = static_cast<int64_t>(seconds * testmedia::testRate);
    std::vector<std::string> arguments =
        testmedia::signal(std::string(testmedia::chirpLeft) + "|" + testmedia::chirpRight,
                          testmedia::testRate, "stereo", frames);
    arguments.insert(arguments.end(), {"-c:a", "pcm_s16le"});
    return testmedia::media().ffmpeg(name, arguments);
}

} // namespace merriphonic::test
