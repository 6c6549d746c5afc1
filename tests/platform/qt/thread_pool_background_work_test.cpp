#include "platform/qt/thread_name.h"
#include "platform/qt/thread_pool_background_work.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/qt_test_support.h"

namespace merriphonic::test {
namespace {

TEST(ThreadPoolBackgroundWorkTest, RunsWorkUnderItsLabelAndHandsEveryResultToTheMainLoop) {
    ThreadPoolBackgroundWork pool(mainLoop(), 3);
    struct Seen {
        std::string label;
        std::string osName;
        bool onMain = true;
    };
    constexpr int tasks = 50;
    std::vector<Seen> results;
    bool allDoneOnMain = true;
    for (int i = 0; i < tasks; ++i) {
        pool.run(
            "app.merriphonic.transcode",
            [] {
                return Seen{std::string(ThreadPoolBackgroundWork::currentLabel()),
                            currentThreadName(), mainLoop().isCurrent()};
            },
            [&](Seen seen) {
                allDoneOnMain = allDoneOnMain && mainLoop().isCurrent();
                results.push_back(std::move(seen));
            });
    }
    ASSERT_TRUE(runMainLoopUntil([&] { return results.size() == tasks; }));
    EXPECT_TRUE(allDoneOnMain);
    for (const Seen& seen : results) {
        EXPECT_EQ(seen.label, "app.merriphonic.transcode");
        EXPECT_EQ(seen.osName, "transcode");
        EXPECT_FALSE(seen.onMain);
    }
    EXPECT_TRUE(ThreadPoolBackgroundWork::currentLabel().empty());
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
} // namespace merriphonic::test
