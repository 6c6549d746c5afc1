#include "platform/qt/qt_run_loop.h"
#include "platform/qt/stream_thread.h"
#include "platform/qt/thread_name.h"

#include <QThread>

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "core/time_units.h"
#include "tests/support/qt_test_support.h"

namespace merriphonic::test {
namespace {

// Posts from several threads at once; each thread's tasks must run in its own order, and all
// of them on the loop's thread.
void expectFifoPerThread(RunLoop& loop) {
    constexpr int threads = 4;
    constexpr int perThread = 2000;
    struct Record {
        std::vector<std::pair<int, int>> order;
        bool offLoop = false;
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
    std::optional<Record> result;
    loop.post([&result, record] { mainLoop().post([&result, copy = *record] { result = copy; }); });
    ASSERT_TRUE(runMainLoopUntil([&] { return result.has_value(); }));
    ASSERT_EQ(result->order.size(), static_cast<size_t>(threads * perThread));
    EXPECT_FALSE(result->offLoop);
    std::vector<int> next(threads, 0);
    for (const auto& [t, i] : result->order) {
        ASSERT_EQ(i, next[t]++) << "thread " << t;
    }
}

TEST(QtRunLoopTest, PostsFromSeveralThreadsRunInOrderOnTheLoopThread) {
    expectFifoPerThread(mainLoop());
    expectFifoPerThread(StreamThread::shared());
}

TEST(QtRunLoopTest, TimersRunOnTheLoopCancelledOnesNeverFireAndBothAreReleased) {
    QtRunLoop& loop = mainLoop();
    const size_t before = loop.timerCount();
    constexpr int64_t hour = 3600 * 1000 * nsPerMs;
    for (int i = 0; i < 5000; ++i) {
        loop.after(hour, [] {}).cancel();
    }
    EXPECT_LT(loop.timerCount(), before + 200);

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
    // Asked for from another thread, half of them cancelled before the loop has created them.
    std::thread([&] {
        for (int i = 0; i < 50; ++i) {
            TimerHandle handle = loop.after(1 * nsPerMs, [&, i] {
                offLoop = offLoop || !loop.isCurrent();
                fired.insert(1000 + i);
            });
            if (i % 2 == 0) {
                handle.cancel();
            }
        }
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
    for (int i = 1; i < 50; i += 2) {
        expected.insert(1000 + i);
    }
    EXPECT_EQ(fired, expected);
    EXPECT_FALSE(offLoop);
    EXPECT_EQ(repeats, 5);
    EXPECT_LT(loop.timerCount(), before + 200);
}

TEST(StreamThreadTest, RunsOnOneNamedTimeCriticalThread) {
    struct Seen {
        bool sameThread = false;
        QThread::Priority priority = QThread::InheritPriority;
        std::string name;
        std::string osName;
        bool ranInline = false;
    };
    const Seen seen = onStreams([] {
        Seen result{QThread::currentThread() == &StreamThread::thread(),
                    QThread::currentThread()->priority(),
                    QThread::currentThread()->objectName().toStdString(), currentThreadName()};
        StreamThread::shared().runOrPost([&result] { result.ranInline = true; });
        return result;
    });
    EXPECT_TRUE(seen.sameThread);
    EXPECT_EQ(seen.priority, QThread::TimeCriticalPriority);
    EXPECT_EQ(seen.name, "app.merriphonic.streams");
    EXPECT_EQ(seen.osName, "streams");
    EXPECT_TRUE(seen.ranInline);
    EXPECT_FALSE(StreamThread::shared().isCurrent());

    // From elsewhere runOrPost posts.
    bool ran = false;
    StreamThread::shared().runOrPost([&ran] { mainLoop().post([&ran] { ran = true; }); });
    EXPECT_FALSE(ran);
    EXPECT_TRUE(runMainLoopUntil([&] { return ran; }));

    EXPECT_EQ(osThreadName("app.merriphonic.transcode"), "transcode");
    EXPECT_EQ(osThreadName("app.merriphonic."), "app.merriphonic");
    EXPECT_EQ(osThreadName("a-rather-long-worker-name"), "a-rather-long-w");
}

} // namespace
} // namespace merriphonic::test
