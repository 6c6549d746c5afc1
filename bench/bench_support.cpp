#include "bench/bench_support.h"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string_view>
#include <vector>

extern char** environ; // NOLINT(readability-redundant-declaration)

namespace merriphonic::bench {
namespace {

// Collects results beside the usual console output.
class CollectingReporter : public benchmark::ConsoleReporter {
public:
    explicit CollectingReporter(Results& results) : results_(results) {}
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred) {
                continue;
            }
            Result r;
            const double iterations = run.iterations > 0 ? double(run.iterations) : 1.0;
            const double multiplier = benchmark::GetTimeUnitMultiplier(run.time_unit);
            r.realTimeNs = run.GetAdjustedRealTime() / multiplier * 1e9;
            r.cpuTimeNs = run.GetAdjustedCPUTime() / multiplier * 1e9;
            (void)iterations;
            for (const auto& [name, counter] : run.counters) {
                r.counters[name] = counter.value;
                if (name == "bytes_per_second") {
                    r.bytesPerSecond = counter.value;
                }
            }
            results_[run.benchmark_name()] = r;
        }
        ConsoleReporter::ReportRuns(runs);
    }

private:
    Results& results_;
};

} // namespace

int runGroup(int argc, char** argv, const std::string& group,
             const std::function<Figures(const Results&)>& summarise) {
    std::string outDir = "build/bench";
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        std::string_view a(argv[i]);
        if (a.rfind("--out-dir=", 0) == 0) {
            outDir = std::string(a.substr(std::strlen("--out-dir=")));
        } else {
            args.push_back(argv[i]);
        }
    }
    int n = static_cast<int>(args.size());
    benchmark::Initialize(&n, args.data());
    Results results;
    CollectingReporter reporter(results);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const Figures figures = summarise(results);
    std::ofstream out(outDir + "/" + group + ".summary.json");
    out << "{";
    bool first = true;
    for (const auto& [name, value] : figures) {
        char number[64] = "null";
        if (std::isfinite(value)) {
            std::snprintf(number, sizeof number, "%.6g", value);
        }
        out << (first ? "" : ",") << "\n \"" << name << "\": " << number;
        first = false;
    }
    out << "\n}\n";
    for (const auto& [name, value] : figures) {
        std::cout << group << ": " << name << " = " << value << "\n";
    }
    return out ? 0 : 1;
}

bool runQuietly(const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 1);
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
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

std::vector<std::string> ffmpeg(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"ffmpeg", "-nostdin", "-y", "-hide_banner"});
    return arguments;
}

} // namespace merriphonic::bench
