#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace merriphonic::bench {

// Named figures a benchmark group adds to build/bench/summary.json.
using Figures = std::map<std::string, double>;

// Runs the registered Google Benchmarks (honouring --benchmark_* flags), then calls
// summarise with each benchmark's results and writes the figures it returns to
// <out-dir>/<group>.summary.json. Returns the process exit code.
struct Result {
    double realTimeNs = 0;     // mean real time per iteration
    double cpuTimeNs = 0;      // mean CPU time per iteration
    double bytesPerSecond = 0; // when the benchmark set bytes processed
    std::map<std::string, double> counters;
};
using Results = std::map<std::string, Result>;

int runGroup(int argc, char** argv, const std::string& group,
             const std::function<Figures(const Results&)>& summarise);

// Runs a command quietly (its output goes to /dev/null); true when it exits with status 0.
bool runQuietly(const std::vector<std::string>& arguments);

// An ffmpeg command line: the tool, non-interactive, overwriting, then the arguments.
std::vector<std::string> ffmpeg(std::vector<std::string> arguments);

} // namespace merriphonic::bench
