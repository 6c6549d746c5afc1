#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <utility>

#include "platform/qt/qt_run_loop.h"
#include "platform/qt/stream_thread.h"

namespace merriphonic::qt_test {

// The main loop of the test process (the thread of the QCoreApplication).
QtRunLoop& mainLoop();

// Runs the main event loop until done() holds. The guard only turns a hang into a failure.
bool runMainLoopUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds guard = std::chrono::seconds(30));

// Runs fn on the stream thread and returns its result, waiting on the main event loop.
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

} // namespace merriphonic::qt_test
