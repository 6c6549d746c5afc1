#pragma once

#include <termios.h>

namespace merriphonic {

// Standard input as keys: on a terminal, each key arrives as it is pressed and is not echoed
// (restored when this goes); from a pipe or a file, as written.
class Keyboard {
public:
    enum class Input { nothing, quit, ended };

    Keyboard();
    ~Keyboard();
    Keyboard(const Keyboard&) = delete;
    Keyboard& operator=(const Keyboard&) = delete;

    [[nodiscard]] static int fd();
    // Reads what is there without waiting: quit when it holds a q, ended at the end of the
    // input (or on an error), else nothing.
    Input read() const;

private:
    bool restore_ = false;
    termios saved_{};
};

} // namespace merriphonic
