#pragma once

#include <chrono>
#include <functional>

#include "platform/qt/qt_run_loop.h"

namespace merriphonic::transport_test {

// The main loop of the test process: the thread of the QCoreApplication every test of this
// binary runs in.
QtRunLoop& mainLoop();

// Runs the main event loop until done() holds. The guard only turns a hang into a failure.
bool runMainLoopUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds guard = std::chrono::seconds(30));

} // namespace merriphonic::transport_test
