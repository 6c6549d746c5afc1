#include "platform/qt/thread_name.h"
#include "platform/qt/thread_pool_background_work.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "qt_test_support.h"

namespace merriphonic {
namespace {

using qt_test::mainLoop;
using qt_test::runMainLoopUntil;

TEST(ThreadPoolBackgroundWorkTest, RunsWorkUnderItsLabelAndHandsTheResultToTheMainLoop) {
    ThreadPoolBackgroundWork pool(mainLoop(), 2);
    struct Seen {
        std::string label;
        std::string osName;
        bool onMain = true;
    };
    std::optional<Seen> result;
    bool doneOnMain = false;
    pool.run(
        "app.merriphonic.transcode",
        [] {
            return Seen{std::string(ThreadPoolBackgroundWork::currentLabel()), currentThreadName(),
                        mainLoop().isCurrent()};
        },
        [&](Seen seen) {
            doneOnMain = mainLoop().isCurrent();
            result = std::move(seen);
        });
    ASSERT_TRUE(runMainLoopUntil([&] { return result.has_value(); }));
    EXPECT_EQ(result->label, "app.merriphonic.transcode");
    EXPECT_EQ(result->osName, "transcode");
    EXPECT_FALSE(result->onMain);
    EXPECT_TRUE(doneOnMain);
    EXPECT_TRUE(ThreadPoolBackgroundWork::currentLabel().empty());
}

TEST(ThreadPoolBackgroundWorkTest, ManyTasksAllCompleteOnTheWorkers) {
    ThreadPoolBackgroundWork pool(mainLoop(), 3);
    EXPECT_EQ(pool.workerCount(), 3U);
    constexpr int tasks = 200;
    std::vector<int> results;
    for (int i = 0; i < tasks; ++i) {
        pool.run(
            "app.merriphonic.hash", [i] { return i * i; },
            [&results](int value) { results.push_back(value); });
    }
    ASSERT_TRUE(runMainLoopUntil([&] { return results.size() == tasks; }));
    long long sum = 0;
    for (const int value : results) {
        sum += value;
    }
    EXPECT_EQ(sum, static_cast<long long>(tasks - 1) * tasks * (2 * tasks - 1) / 6);
}

TEST(ThreadPoolBackgroundWorkTest, DestructionWaitsForARunningTask) {
    auto pool = std::make_unique<ThreadPoolBackgroundWork>(mainLoop(), 1);
    std::promise<void> started;
    std::promise<void> release;
    std::atomic<bool> finished{false};
    pool->execute("app.merriphonic.slow", [&] {
        started.set_value();
        release.get_future().wait();
        finished = true;
    });
    started.get_future().wait();
    bool finishedWhenDestroyed = false;
    std::thread destroyer([&] {
        pool.reset();
        finishedWhenDestroyed = finished.load();
    });
    release.set_value();
    destroyer.join();
    EXPECT_TRUE(finishedWhenDestroyed);
}

} // namespace
} // namespace merriphonic
