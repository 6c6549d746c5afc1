#include "tools/cli/keyboard.h"

#include <unistd.h>

#include <array>
#include <cerrno>

namespace merriphonic {

Keyboard::Keyboard() {
    if (isatty(fd()) == 1 && tcgetattr(fd(), &saved_) == 0) {
        termios keys = saved_;
        // Ctrl-C still interrupts (ISIG stays on).
        keys.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        keys.c_cc[VMIN] = 1;
        keys.c_cc[VTIME] = 0;
        restore_ = tcsetattr(fd(), TCSANOW, &keys) == 0;
    }
}

Keyboard::~Keyboard() {
    if (restore_) {
        tcsetattr(fd(), TCSANOW, &saved_);
    }
}

int Keyboard::fd() {
    return STDIN_FILENO;
}

Keyboard::Input Keyboard::read() const {
    std::array<char, 256> buffer{};
    // Called when the descriptor is readable: one read does not block.
    const ssize_t got = ::read(fd(), buffer.data(), buffer.size());
    if (got < 0) {
        return errno == EAGAIN || errno == EINTR ? Input::nothing : Input::ended;
    }
    if (got == 0) {
        return Input::ended;
    }
    for (ssize_t i = 0; i < got; ++i) {
        if (buffer[static_cast<size_t>(i)] == 'q' || buffer[static_cast<size_t>(i)] == 'Q') {
            return Input::quit;
        }
    }
    return Input::nothing;
}

} // namespace merriphonic
