// Compares the heard logs of a party's speakers with the host's (merriphonic-cli --heard-log,
// all written on one monotonic clock) and says how far apart they were.
//
//   merriphonic-heard-align [--skip S] [--limit-ms MS] HOST_LOG SPEAKER_LOG...
//
// Per speaker, the buffers heard from S seconds (default 5) after its own first sound on are
// matched to the host's; prints "speaker FILE: buffers=N breaks=B p50_ms=… p99_ms=… max_ms=…"
// and last "align_p99_ms=… breaks=…" (the worst speaker's figure, the breaks of every log in
// that time, the host's included: where sound did not carry on from the buffer before).
// Exit status 0 when every speaker had buffers to compare and its p99 stayed within MS
// (default 2), 1 otherwise, 2 for bad usage.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/cli/heard_log.h"

using namespace merriphonic;

namespace {

int usage() {
    std::fputs("usage: merriphonic-heard-align [--skip S] [--limit-ms MS] HOST_LOG "
               "SPEAKER_LOG...\n",
               stderr);
    return 2;
}

std::vector<HeardBuffer> readOrExit(const std::string& file) {
    auto log = HeardLog::read(file);
    if (!log) {
        std::fprintf(stderr, "merriphonic-heard-align: %s\n", log.error().c_str());
        std::exit(2);
    }
    return std::move(log).value();
}

} // namespace

int main(int argc, char** argv) {
    double skipS = 5.0;
    double limitMs = 2.0;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if ((argument == "--skip" || argument == "--limit-ms") && i + 1 < argc) {
            char* end = nullptr;
            const double value = std::strtod(argv[++i], &end);
            if (end == argv[i] || *end != '\0' || !std::isfinite(value) || value < 0.0) {
                return usage();
            }
            (argument == "--skip" ? skipS : limitMs) = value;
        } else if (argument.starts_with("-")) {
            return usage();
        } else {
            files.emplace_back(argument);
        }
    }
    if (files.size() < 2) {
        return usage();
    }
    const std::vector<HeardBuffer> host = readOrExit(files.front());
    bool within = true;
    double worstP99Ms = 0.0;
    int breaks = 0;
    std::optional<int64_t> hostFromNs;
    for (size_t i = 1; i < files.size(); ++i) {
        const std::vector<HeardBuffer> speaker = readOrExit(files[i]);
        const std::optional<int64_t> first = firstHeardNs(speaker);
        const std::vector<double> errors =
            first ? alignmentErrorsMs(host, speaker, *first + std::llround(skipS * 1e9))
                  : std::vector<double>{};
        const double p99 = percentileAbs(errors, 99);
        const int64_t fromNs = first.value_or(0) + std::llround(skipS * 1e9);
        const int speakerBreaks = breaksAfter(speaker, fromNs);
        hostFromNs = std::min(hostFromNs.value_or(fromNs), fromNs);
        breaks += speakerBreaks;
        std::printf("speaker %s: buffers=%zu breaks=%d p50_ms=%.3f p99_ms=%.3f max_ms=%.3f\n",
                    files[i].c_str(), errors.size(), speakerBreaks, percentileAbs(errors, 50), p99,
                    percentileAbs(errors, 100));
        worstP99Ms = std::max(worstP99Ms, p99);
        within = within && !errors.empty() && p99 <= limitMs;
    }
    breaks += breaksAfter(host, hostFromNs.value_or(0));
    std::printf("align_p99_ms=%.3f breaks=%d\n", worstP99Ms, breaks);
    return within ? 0 : 1;
}
