#include "platform/qt/qt_run_loop.h"
#include "platform/qt/stream_thread.h"
#include "platform/qt/thread_name.h"

#include <QThread>

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "core/time_units.h"
#include "tests/support/qt_test_support.h"

namespace merriphonic::test {
namespace {

TEST(QtRunLoopTest, TimersRunOnTheLoopCancelledOnesNeverFireAndBothAreReleased) {
    QtRunLoop& loop = mainLoop();
    const size_t before = loop.timerCount();
    std::set<int> fired;
    bool offLoop = false;
    std::vector<TimerHandle> handles;
    handles.reserve(200);
    for (int i = 0; i < 200; ++i) {
        handles.push_back(loop.after((1 + i % 5) * nsPerMs, [&fired, i] { fired.insert(i); }));
    }
    for (int i = 0; i < 200; i += 2) {
        handles[static_cast<size_t>(i)].cancel();
    }
    // Asked for from another thread, and cancelled before the loop has created it.
    std::thread([&] { loop.after(1 * nsPerMs, [&fired] { fired.insert(1000); }).cancel(); }).join();
    std::thread([&] {
        loop.after(1 * nsPerMs, [&] {
            offLoop = !loop.isCurrent();
            fired.insert(1001);
        });
    }).join();
    // A timer cancelled by an earlier one that fires first.
    TimerHandle late = loop.after(8 * nsPerMs, [&fired] { fired.insert(-1); });
    loop.after(2 * nsPerMs, [&late] { late.cancel(); });
    // A repeating timer that cancels itself on its fifth run.
    int repeats = 0;
    TimerHandle repeating = loop.every(2 * nsPerMs, [&] {
        if (++repeats == 5) {
            repeating.cancel();
        }
    });
    // Regression: a sweep released the id of a timer cancelled while it ran, and a timer it had
    // just started could be given that id and be lost.
    int started = 0;
    TimerHandle self = loop.every(1 * nsPerMs, [&] {
        self.cancel();
        for (int i = 0; i < 300; ++i) {
            loop.after(1 * nsPerMs, [&started] { ++started; });
        }
    });
    ASSERT_TRUE(runMainLoopUntil([&] { return started == 300; }));
    runMainLoopFor(std::chrono::milliseconds(40));

    std::set<int> expected;
    for (int i = 1; i < 200; i += 2) {
        expected.insert(i);
    }
    expected.insert(1001);
    EXPECT_EQ(fired, expected);
    EXPECT_FALSE(offLoop);
    EXPECT_EQ(repeats, 5);
    EXPECT_LT(loop.timerCount(), before + 200);
}

TEST(StreamThreadTest, RunsOnOneNamedTimeCriticalThread) {
    struct Seen {
        QThread::Priority priority = QThread::InheritPriority;
        std::string osName;
        bool ranInline = false;
    };
    const Seen seen = onStreams([] {
        Seen result{QThread::currentThread()->priority(), currentThreadName()};
        StreamThread::shared().runOrPost([&result] { result.ranInline = true; });
        return result;
    });
    EXPECT_EQ(seen.priority, QThread::TimeCriticalPriority);
    EXPECT_EQ(seen.osName, "streams");
    EXPECT_TRUE(seen.ranInline);
    EXPECT_FALSE(StreamThread::shared().isCurrent());

    EXPECT_EQ(osThreadName("a-rather-long-worker-name"), "a-rather-long-w");
}

} // namespace
} // namespace merriphonic::test
