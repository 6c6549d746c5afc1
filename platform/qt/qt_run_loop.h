#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/run_loop.h"

class QThread;

namespace merriphonic {

class QtRunLoopContext;

// A RunLoop over the Qt event loop of one thread: the main thread of a QCoreApplication, or a
// QThread running exec() (the stream thread). Tasks posted from any thread run on that thread
// in the order posted; timers are Qt precise timers created on that thread (millisecond
// resolution, never early).
class QtRunLoop final : public RunLoop {
public:
    // Bound to the calling thread, which runs (or will run) a Qt event loop.
    QtRunLoop();
    // Bound to the given thread, started or not; its event loop runs what is posted here once
    // it runs.
    explicit QtRunLoop(QThread& thread);
    ~QtRunLoop() override;
    QtRunLoop(const QtRunLoop&) = delete;
    QtRunLoop& operator=(const QtRunLoop&) = delete;

    void post(Task task) override;
    TimerHandle after(int64_t delayNs, Task task) override;
    TimerHandle every(int64_t periodNs, Task task) override;
    [[nodiscard]] bool isCurrent() const override;

    [[nodiscard]] QThread& thread() const { return *thread_; }
    // Timers still registered with Qt (fired one-shots and cancelled timers are released);
    // call on the loop.
    [[nodiscard]] size_t timerCount() const;

private:
    TimerHandle schedule(int64_t delayNs, Task task, bool repeating);

    QThread* thread_;
    QtRunLoopContext* context_;
};

} // namespace merriphonic
