#pragma once

#include <string_view>

#include "platform/run_loop.h"

class QThread;

namespace merriphonic {

// The process-wide stream loop: one thread at the highest priority, running its own Qt event
// loop, on which all stream work of all connections runs. Created on first use; it runs for
// the rest of the process and is stopped only as the process exits, so that no stream work
// races the destruction of static state.
class StreamThread {
public:
    static constexpr std::string_view name = "app.merriphonic.streams";

    // The stream loop. Safe to call from any thread; the first call starts the thread.
    static RunLoop& shared();
    // The thread running the stream loop.
    static QThread& thread();

    StreamThread(const StreamThread&) = delete;
    StreamThread& operator=(const StreamThread&) = delete;

private:
    StreamThread();
    ~StreamThread() = default;
    static StreamThread& instance();
    static void stopAtExit();

    QThread* thread_;
    RunLoop* loop_;
};

} // namespace merriphonic
