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

// Work runs off the main loop under its label (the thread's OS name too), its result is handed
// to the main loop, and the pool's destruction waits for a running task.
TEST(ThreadPoolBackgroundWorkTest, RunsLabelledWorkAndDestructionWaitsForIt) {
    auto pool = std::make_unique<ThreadPoolBackgroundWork>(mainLoop(), 1);
    std::vector<std::string> seen;
    pool->run(
        "app.merriphonic.transcode",
        [] {
            return std::vector<std::string>{std::string(ThreadPoolBackgroundWork::currentLabel()),
                                            currentThreadName(),
                                            mainLoop().isCurrent() ? "main" : "off main"};
        },
        [&](std::vector<std::string> result) {
            seen = std::move(result);
            seen.emplace_back(mainLoop().isCurrent() ? "main" : "off main");
        });
    ASSERT_TRUE(runMainLoopUntil([&] { return !seen.empty(); }));
    EXPECT_EQ(seen, (std::vector<std::string>{"app.merriphonic.transcode", "transcode", "off main",
                                              "main"}));

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
