#include "bench/bench_support.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string_view>
#include <vector>

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

} // namespace merriphonic::bench
