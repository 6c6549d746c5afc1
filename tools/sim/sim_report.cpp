// The simulator's reports: a table, JSON for the bench figures, and an SVG plot.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "tools/sim/sim_run.h"

namespace merriphonic {

std::string simFormat(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

double SimRunReport::worst(double Speaker::*field) const {
    double result = 0.0;
    for (const Speaker& speaker : speakers) {
        result = std::max(result, speaker.*field);
    }
    return result;
}
std::string simReportText(const SimRunReport& report) {
    std::string out =
        "speaker  p50 ms  p99 ms  max ms  converge s  re-syncs  ready s  sound s  offset p99 ms\n";
    const auto opt = [](const std::optional<double>& v) {
        return v ? simFormat("%7.2f", *v) : std::string("      -");
    };
    for (const auto& s : report.speakers) {
        char line[256];
        std::snprintf(line, sizeof line, "%-7s %7.3f %7.3f %7.3f %11.1f %9d  %s  %s  %13.3f\n",
                      s.name.c_str(), s.p50Ms, s.p99Ms, s.maxMs, s.convergeS, s.resyncs,
                      opt(s.readyS).c_str(), opt(s.firstSoundS).c_str(), s.offsetErrP99Ms);
        out += line;
    }
    using S = SimRunReport::Speaker;
    char line[512];
    std::snprintf(line, sizeof line,
                  "worst   %7.3f %7.3f %7.3f %11.1f\n"
                  "select to all ready: %s s; to first sound: %s s; radio use during the "
                  "transfer: %.0f%%; clock estimate error p99 %.3f ms; %.0f s in %.1f s (%.0f× "
                  "real time)\n",
                  report.worst(&S::p50Ms), report.worst(&S::p99Ms), report.worst(&S::maxMs),
                  report.worst(&S::convergeS), opt(report.allReadyS).c_str(),
                  opt(report.firstSoundS).c_str(), report.radioUtilisation * 100,
                  report.worst(&S::offsetErrP99Ms), report.worldSeconds, report.wallSeconds,
                  report.speedX());
    out += line;
    if (!report.refusedText.empty()) {
        out += "an eighth speaker was turned away: " + report.refusedText + "\n";
    }
    for (const auto& [text, at] : report.eventsDone) {
        out += "event " + text + " at " + simFormat("%.1f", at) + " s\n";
    }
    return out;
}

std::string simReportJson(const SimRunReport& report) {
    const auto num = [](double v) { return simFormat("%.6g", std::isfinite(v) ? v : 0.0); };
    const auto opt = [&](const std::optional<double>& v) { return v ? num(*v) : "null"; };
    const auto quoted = [](const std::string& text) {
        std::string out = "\"";
        for (const char c : text) {
            if (c == '"' || c == '\\') {
                out += '\\';
            }
            if (static_cast<unsigned char>(c) >= 0x20) {
                out += c;
            }
        }
        return out + "\"";
    };
    std::string out = "{\"speakers\":[";
    for (size_t i = 0; i < report.speakers.size(); ++i) {
        const auto& s = report.speakers[i];
        out += (i == 0 ? "{" : ",{");
        out += "\"name\":" + quoted(s.name) + ",\"buffers\":" + std::to_string(s.buffers) +
               ",\"p50Ms\":" + num(s.p50Ms) + ",\"p99Ms\":" + num(s.p99Ms) +
               ",\"maxMs\":" + num(s.maxMs) + ",\"convergeS\":" + num(s.convergeS) +
               ",\"resyncs\":" + std::to_string(s.resyncs) + ",\"readyS\":" + opt(s.readyS) +
               ",\"firstSoundS\":" + opt(s.firstSoundS) +
               ",\"offsetErrP99Ms\":" + num(s.offsetErrP99Ms) +
               ",\"offsetErrMaxMs\":" + num(s.offsetErrMaxMs) + "}";
    }
    using S = SimRunReport::Speaker;
    out += "],\"allReadyS\":" + opt(report.allReadyS) +
           ",\"firstSoundS\":" + opt(report.firstSoundS) +
           ",\"radioUtilisation\":" + num(report.radioUtilisation) +
           ",\"refused\":" + quoted(report.refusedText) + ",\"events\":[";
    for (size_t i = 0; i < report.eventsDone.size(); ++i) {
        out += (i == 0 ? "" : ",") + std::string("{\"event\":") +
               quoted(report.eventsDone[i].first) + ",\"atS\":" + num(report.eventsDone[i].second) +
               "}";
    }
    out += R"(],"bench":{"sim.align_p50_ms":)" + num(report.worst(&S::p50Ms)) +
           ",\"sim.align_p99_ms\":" + num(report.worst(&S::p99Ms)) +
           ",\"sim.align_max_ms\":" + num(report.worst(&S::maxMs)) +
           ",\"sim.converge_s\":" + num(report.worst(&S::convergeS)) +
           ",\"sim.select_to_sound_s\":" + opt(report.firstSoundS) +
           ",\"sim.radio_utilisation\":" + num(report.radioUtilisation) +
           ",\"sim.offset_err_p99_ms\":" + num(report.worst(&S::offsetErrP99Ms)) +
           ",\"sim.speed_x\":" + num(report.speedX()) + "}}\n";
    return out;
}

std::string simReportSvg(const SimRunReport& report) {
    constexpr double width = 960;
    constexpr double height = 420;
    constexpr double left = 60;
    constexpr double right = 20;
    constexpr double top = 20;
    constexpr double bottom = 40;
    double endS = 1.0;
    double topMs = SimRunReport::alignedMs;
    for (const auto& s : report.speakers) {
        for (const auto& [t, e] : s.series) {
            endS = std::max(endS, t + SimRunReport::binS);
            topMs = std::max(topMs, e);
        }
    }
    topMs = std::min(topMs * 1.1, 50.0);
    const auto x = [&](double s) { return left + s / endS * (width - left - right); };
    const auto y = [&](double ms) {
        return top + (1.0 - std::min(ms, topMs) / topMs) * (height - top - bottom);
    };
    std::string out = R"(<svg xmlns="http://www.w3.org/2000/svg" width=")" +
                      simFormat("%.0f", width) + "\" height=\"" + simFormat("%.0f", height) +
                      "\" font-family=\"sans-serif\" font-size=\"12\">\n"
                      "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    // The 1 ms line, the axes and their labels.
    out += "<line x1=\"" + simFormat("%.1f", left) + "\" x2=\"" + simFormat("%.1f", width - right) +
           "\" y1=\"" + simFormat("%.1f", y(SimRunReport::alignedMs)) + "\" y2=\"" +
           simFormat("%.1f", y(SimRunReport::alignedMs)) +
           "\" stroke=\"#c00\" stroke-dasharray=\"4 4\"/>\n";
    out += "<line x1=\"" + simFormat("%.1f", left) + "\" x2=\"" + simFormat("%.1f", left) +
           "\" y1=\"" + simFormat("%.1f", top) + "\" y2=\"" + simFormat("%.1f", height - bottom) +
           "\" stroke=\"black\"/>\n";
    out += "<line x1=\"" + simFormat("%.1f", left) + "\" x2=\"" + simFormat("%.1f", width - right) +
           "\" y1=\"" + simFormat("%.1f", height - bottom) + "\" y2=\"" +
           simFormat("%.1f", height - bottom) + "\" stroke=\"black\"/>\n";
    out += R"(<text x="4" y=")" + simFormat("%.1f", top + 10) + "\">" + simFormat("%.2f", topMs) +
           " ms</text>\n<text x=\"4\" y=\"" + simFormat("%.1f", y(SimRunReport::alignedMs) + 4) +
           "\">1 ms</text>\n<text x=\"" + simFormat("%.1f", width - right - 200) + "\" y=\"" +
           simFormat("%.1f", height - 10) + "\">s after the host's first sound (" +
           simFormat("%.0f", endS) + " s)</text>\n";
    constexpr const char* colours[] = {"#1f77b4", "#ff7f0e", "#2ca02c", "#d62728",
                                       "#9467bd", "#8c564b", "#e377c2"};
    for (size_t i = 0; i < report.speakers.size(); ++i) {
        const auto& s = report.speakers[i];
        const char* colour = colours[i % std::size(colours)];
        out += R"(<polyline fill="none" stroke-width="1.2" stroke=")" + std::string(colour) +
               "\" points=\"";
        for (const auto& [t, e] : s.series) {
            out += simFormat("%.1f", x(t)) + "," + simFormat("%.1f", y(e)) + " ";
        }
        out += "\"/>\n<text x=\"" + simFormat("%.1f", left + 10 + 70 * static_cast<double>(i)) +
               R"(" y="14" fill=")" + colour + "\">" + s.name + "</text>\n";
    }
    return out + "</svg>\n";
}

} // namespace merriphonic
