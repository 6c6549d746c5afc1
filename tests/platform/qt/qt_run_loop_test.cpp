#include "platform/qt/qt_run_loop.h"
#include "platform/qt/stream_thread.h"
#include "platform/qt/thread_name.h"

#include <QThread>

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "qt_test_support.h"

namespace merriphonic {
namespace {

using qt_test::mainLoop;
using qt_test::onStreams;
using qt_test::runMainLoopUntil;

constexpr int64_t ms = 1'000'000;

// Posts from several threads at once; each thread's tasks must run in its own order, and all
// of them on the loop's thread.
void expectFifoPerThread(RunLoop& loop) {
    constexpr int threads = 4;
    constexpr int perThread = 2000;
    struct Record {
        std::vector<std::pair<int, int>> order;
        bool offLoop = false;
        bool done = false;
    };
    auto record = std::make_shared<Record>();
    std::vector<std::thread> posters;
    posters.reserve(threads);
    for (int t = 0; t < threads; ++t) {
        posters.emplace_back([&loop, record, t] {
            for (int i = 0; i < perThread; ++i) {
                loop.post([&loop, record, t, i] {
                    record->offLoop = record->offLoop || !loop.isCurrent();
                    record->order.emplace_back(t, i);
                });
            }
        });
    }
    for (auto& poster : posters) {
        poster.join();
    }
    // Posted after every other task: it hands the record back to the main thread.
    auto result = std::make_shared<Record>();
    bool finished = false;
    loop.post([record, result, &finished] {
        mainLoop().post([record, result, &finished] {
            *result = *record;
            finished = true;
        });
    });
    ASSERT_TRUE(runMainLoopUntil([&] { return finished; }));
    ASSERT_EQ(result->order.size(), static_cast<size_t>(threads * perThread));
    EXPECT_FALSE(result->offLoop);
    std::vector<int> next(threads, 0);
    for (const auto& [t, i] : result->order) {
        ASSERT_EQ(i, next[t]) << "thread " << t;
        ++next[t];
    }
}

TEST(QtRunLoopTest, PostsFromSeveralThreadsRunInOrderOnTheLoopThread) {
    expectFifoPerThread(mainLoop());
    expectFifoPerThread(StreamThread::shared());
}

TEST(QtRunLoopTest, CancelledTimersNeverFire) {
    QtRunLoop& loop = mainLoop();
    std::set<int> fired;
    std::vector<TimerHandle> handles;
    handles.reserve(200);
    for (int i = 0; i < 200; ++i) {
        handles.push_back(loop.after((1 + i % 5) * ms, [&fired, i] { fired.insert(i); }));
    }
    for (int i = 0; i < 200; i += 2) {
        handles[static_cast<size_t>(i)].cancel();
    }
    // Cancelled from another thread before the loop has even created them.
    std::vector<TimerHandle> foreign;
    std::thread other([&] {
        for (int i = 0; i < 50; ++i) {
            TimerHandle handle = loop.after(1 * ms, [&fired, i] { fired.insert(1000 + i); });
            handle.cancel();
            foreign.push_back(handle);
        }
    });
    other.join();
    // A timer cancelled by an earlier one that fires first.
    TimerHandle late = loop.after(8 * ms, [&fired] { fired.insert(-1); });
    loop.after(2 * ms, [&late] { late.cancel(); });
    bool done = false;
    loop.after(30 * ms, [&done] { done = true; });
    ASSERT_TRUE(runMainLoopUntil([&] { return done; }));

    std::set<int> expected;
    for (int i = 1; i < 200; i += 2) {
        expected.insert(i);
    }
    EXPECT_EQ(fired, expected);
}

TEST(QtRunLoopTest, EveryRepeatsUntilCancelledAndKeepsItsPeriodLoosely) {
    QtRunLoop& loop = mainLoop();
    int selfStopping = 0;
    TimerHandle stopper;
    stopper = loop.every(2 * ms, [&] {
        if (++selfStopping == 5) {
            stopper.cancel();
        }
    });
    int ticks = 0;
    TimerHandle ticker = loop.every(10 * ms, [&ticks] { ++ticks; });
    bool done = false;
    loop.after(200 * ms, [&] {
        ticker.cancel();
        done = true;
    });
    ASSERT_TRUE(runMainLoopUntil([&] { return done; }));
    EXPECT_EQ(selfStopping, 5);
    // Twenty periods fit; a loaded machine may lose some, but a repeating timer neither fires
    // far more often than its period nor stops after the first time.
    EXPECT_GE(ticks, 3);
    EXPECT_LE(ticks, 21);
    const int ticksAtCancel = ticks;
    bool later = false;
    loop.after(40 * ms, [&later] { later = true; });
    ASSERT_TRUE(runMainLoopUntil([&] { return later; }));
    EXPECT_EQ(ticks, ticksAtCancel);
}

TEST(QtRunLoopTest, ATimerThatCancelsItselfLeavesTheTimersItStartedAlone) {
    QtRunLoop& loop = mainLoop();
    constexpr int started = 300;
    int fired = 0;
    TimerHandle self;
    // Cancelling itself, then starting many timers: a sweep releases the cancelled timer's id
    // while it runs, and a new timer may be given that id.
    self = loop.every(1 * ms, [&] {
        self.cancel();
        for (int i = 0; i < started; ++i) {
            loop.after(1 * ms, [&fired] { ++fired; });
        }
    });
    ASSERT_TRUE(runMainLoopUntil([&] { return fired == started; }));
}

TEST(QtRunLoopTest, FiredAndCancelledTimersAreReleased) {
    QtRunLoop& loop = mainLoop();
    const size_t before = loop.timerCount();
    constexpr int64_t hour = 3600 * 1000 * ms;
    for (int i = 0; i < 5000; ++i) {
        loop.after(hour, [] {}).cancel();
    }
    TimerHandle keep = loop.after(hour, [] {});
    EXPECT_LT(loop.timerCount(), before + 200);

    int fired = 0;
    for (int i = 0; i < 1000; ++i) {
        loop.after(0, [&fired] { ++fired; });
    }
    ASSERT_TRUE(runMainLoopUntil([&] { return fired == 1000; }));
    keep.cancel();
    loop.after(hour, [] {}).cancel();
    EXPECT_LT(loop.timerCount(), before + 200);
}

TEST(QtRunLoopTest, TimersAskedForFromAnotherThreadRunOnTheLoop) {
    bool onLoop = false;
    bool done = false;
    std::thread other([&] {
        mainLoop().after(1 * ms, [&] {
            onLoop = mainLoop().isCurrent();
            done = true;
        });
    });
    other.join();
    ASSERT_TRUE(runMainLoopUntil([&] { return done; }));
    EXPECT_TRUE(onLoop);
    EXPECT_FALSE(StreamThread::shared().isCurrent());
}

TEST(StreamThreadTest, RunsOnOneNamedTimeCriticalThread) {
    struct Seen {
        bool sameThread = false;
        QString objectName;
        QThread::Priority priority = QThread::InheritPriority;
        std::string osName;
        bool ranInline = false;
    };
    EXPECT_EQ(&StreamThread::shared(), &StreamThread::shared());
    const Seen seen = onStreams([] {
        Seen result;
        result.sameThread = QThread::currentThread() == &StreamThread::thread();
        result.objectName = QThread::currentThread()->objectName();
        result.priority = QThread::currentThread()->priority();
        result.osName = currentThreadName();
        StreamThread::shared().runOrPost([&result] { result.ranInline = true; });
        return result;
    });
    EXPECT_TRUE(seen.sameThread);
    EXPECT_EQ(seen.objectName.toStdString(), "app.merriphonic.streams");
    EXPECT_EQ(seen.priority, QThread::TimeCriticalPriority);
    EXPECT_EQ(seen.osName, "streams");
    EXPECT_TRUE(seen.ranInline);

    // From elsewhere runOrPost posts.
    bool ran = false;
    StreamThread::shared().runOrPost([&ran] { mainLoop().post([&ran] { ran = true; }); });
    EXPECT_FALSE(ran);
    EXPECT_TRUE(runMainLoopUntil([&] { return ran; }));
}

TEST(ThreadNameTest, DropsTheCommonPrefixAndFitsTheKernelLimit) {
    EXPECT_EQ(osThreadName("app.merriphonic.transcode"), "transcode");
    EXPECT_EQ(osThreadName("app.merriphonic."), "app.merriphonic");
    EXPECT_EQ(osThreadName("a-rather-long-worker-name"), "a-rather-long-w");
}

} // namespace
} // namespace merriphonic
