#pragma once

#include <functional>
#include <memory>

namespace merriphonic {

// The Qt application of a program without windows: its main loop, and its ways in from the
// terminal. The termination signals (SIGINT, SIGTERM, SIGHUP) are blocked for the whole
// process and read from a signalfd on the main loop, so a handler may do anything the main
// loop may do; readable descriptors (standard input) are watched there too.
//
// Make it first in main(): threads made later inherit the blocked signals, and a thread made
// earlier would receive them with the default action. Main thread only.
class ConsoleApplication {
public:
    using SignalHandler = std::function<void(int signal)>;

    ConsoleApplication(int& argc, char** argv);
    ~ConsoleApplication();
    ConsoleApplication(const ConsoleApplication&) = delete;
    ConsoleApplication& operator=(const ConsoleApplication&) = delete;

    // Runs the main loop until exit(); returns the code given there.
    int exec();
    // Makes exec() return the code once control is back in the loop.
    static void exit(int code);

    // Calls the handler on the main loop for each termination signal that arrives; without a
    // handler they wait.
    void setSignalHandler(SignalHandler handler);
    // Calls the handler on the main loop whenever the descriptor has something to read (or
    // has reached its end), until unwatch(); the handler must read, or unwatch.
    void watchReadable(int fd, std::function<void()> handler);
    void unwatch(int fd);

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace merriphonic
