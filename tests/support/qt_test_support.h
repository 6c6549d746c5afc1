#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "platform/files.h"
#include "platform/qt/qt_run_loop.h"
#include "platform/qt/stream_thread.h"

namespace merriphonic::test {

// The main loop of the test process: the thread of the QCoreApplication every test of the
// binary runs in. The application lives as long as the process (the stream thread is stopped
// after main returns, and posting its stop needs it).
QtRunLoop& mainLoop();

// Runs the main loop until done() holds, checking it after every event and every millisecond
// (for state that other threads change without posting). The guard only turns a hang into a
// failure. Returns done().
bool runMainLoopUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds guard = std::chrono::seconds(30));
void runMainLoopFor(std::chrono::milliseconds duration);

// Runs fn on the stream thread and returns its result, waiting on the main loop.
template <typename Fn>
auto onStreams(Fn fn) {
    using Result = decltype(fn());
    auto result = std::make_shared<std::optional<Result>>();
    StreamThread::shared().post([fn = std::move(fn), result]() mutable {
        Result value = fn();
        mainLoop().post(
            [result, value = std::move(value)]() mutable { *result = std::move(value); });
    });
    EXPECT_TRUE(runMainLoopUntil([&] { return result->has_value(); }));
    return result->value_or(Result{});
}

// A fresh private folder under /tmp (short, so that socket paths fit), removed with its
// contents.
class TempFolder : public TemporaryFolder {
public:
    TempFolder() : TemporaryFolder("/tmp/mpt-") {}
};

// Sets (or, with nothing, unsets) an environment variable for its lifetime.
class ScopedEnv {
public:
    ScopedEnv(std::string name, const std::optional<std::string>& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::optional<std::string> previous_;
};

} // namespace merriphonic::test
