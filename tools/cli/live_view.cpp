#include "tools/cli/live_view.h"

namespace merriphonic {

namespace {
// Cursor one line up, and erase the line.
constexpr const char* lineUp = "\033[A";
constexpr const char* eraseLine = "\r\033[2K";
} // namespace

LiveView::LiveView(std::FILE* out, bool terminal) : out_(out), terminal_(terminal) {}

void LiveView::show(const std::vector<std::string>& lines, int64_t nowNs) {
    if (lines == block_ && !pending_ && (terminal_ || printedOnce_)) {
        return;
    }
    const bool changed = lines != block_;
    block_ = lines;
    if (terminal_) {
        if (changed || drawnLines_ == 0) {
            erase();
            draw();
        }
        return;
    }
    pending_ = pending_ || changed || !printedOnce_;
    if (pending_ && (!printedOnce_ || nowNs - printedAtNs_ >= pipePeriodNs)) {
        draw();
        printedAtNs_ = nowNs;
        printedOnce_ = true;
        pending_ = false;
    }
}

void LiveView::say(const std::string& line) {
    erase();
    std::fprintf(out_, "%s\n", line.c_str());
    if (terminal_) {
        draw();
    }
    std::fflush(out_);
}

void LiveView::settle() {
    if (!terminal_ && pending_) {
        draw();
        pending_ = false;
    }
}

void LiveView::draw() {
    for (const std::string& line : block_) {
        std::fprintf(out_, "%s\n", line.c_str());
    }
    drawnLines_ = terminal_ ? block_.size() : 0;
    if (!terminal_ && !block_.empty()) {
        std::fputc('\n', out_);
    }
    std::fflush(out_);
}

void LiveView::erase() {
    for (; drawnLines_ > 0; --drawnLines_) {
        std::fprintf(out_, "%s%s", lineUp, eraseLine);
    }
}

} // namespace merriphonic
