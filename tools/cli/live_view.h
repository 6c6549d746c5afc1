#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace merriphonic {

// What the command shows on standard output: a block of lines that changes (the party table,
// the speaker's status) and messages that stay. On a terminal the block is redrawn in place;
// into a pipe or a file it is printed again when it has changed, at most once per
// pipePeriodNs, so that a log of the run stays readable.
class LiveView {
public:
    static constexpr int64_t pipePeriodNs = 1'000'000'000;

    LiveView(std::FILE* out, bool terminal);

    // Replaces the block; nowNs decides whether a pipe gets it now.
    void show(const std::vector<std::string>& lines, int64_t nowNs);
    // Prints a message above the block.
    void say(const std::string& line);
    // Prints the latest block if it has not been printed yet.
    void settle();

    [[nodiscard]] bool isTerminal() const { return terminal_; }

private:
    void draw();
    void erase();

    std::FILE* out_;
    bool terminal_;
    std::vector<std::string> block_;
    size_t drawnLines_ = 0; // on a terminal: the lines of the block on screen
    bool pending_ = false;  // into a pipe: the block has changed since it was printed
    int64_t printedAtNs_ = 0;
    bool printedOnce_ = false;
};

} // namespace merriphonic
