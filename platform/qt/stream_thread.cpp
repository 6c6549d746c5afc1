#include "platform/qt/stream_thread.h"

#include <QDeadlineTimer>
#include <QString>
#include <QThread>

#include <cstdlib>

#include "platform/qt/qt_run_loop.h"
#include "platform/qt/thread_name.h"

namespace merriphonic {

namespace {
constexpr int exitWaitMs = 2000;
}

StreamThread::StreamThread() : thread_(new QThread) {
    thread_->setObjectName(QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size())));
    loop_ = new QtRunLoop(*thread_);
    loop_->post([] { setCurrentThreadName(name); });
    thread_->start(QThread::TimeCriticalPriority);
}

StreamThread& StreamThread::instance() {
    // Deliberately never deleted: the loop must stay usable until the very end of the process
    // (it stays reachable through this pointer, so leak checkers do not report it).
    static StreamThread* const shared = [] {
        auto* created = new StreamThread;
        std::atexit(&StreamThread::stopAtExit);
        return created;
    }();
    return *shared;
}

RunLoop& StreamThread::shared() {
    return *instance().loop_;
}

QThread& StreamThread::thread() {
    return *instance().thread_;
}

void StreamThread::stopAtExit() {
    StreamThread& self = instance();
    // The loop quits from a task of its own, after the work queued before; posting (rather
    // than QThread::quit from here) keeps every hand-over to the thread on the loop's queue.
    self.loop_->post([] { QThread::currentThread()->quit(); });
    // A task stuck waiting on the exiting main thread must not hang the exit.
    self.thread_->wait(QDeadlineTimer(exitWaitMs));
}

} // namespace merriphonic
