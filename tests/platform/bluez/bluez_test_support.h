#pragma once

#include <QDBusConnection>
#include <QString>

#include <chrono>
#include <filesystem>
#include <functional>

#include "platform/qt/qt_run_loop.h"

namespace merriphonic::bluez_test {

// The main loop of the test process (the thread of the QCoreApplication).
QtRunLoop& mainLoop();

// The private bus this test run started (a dbus-daemon of its own, stopped at the end).
const QString& busAddress();

// A new connection to the private bus; closed by closeBus.
QDBusConnection openBus(const QString& name);
void closeBus(const QString& name);

// A fresh temporary folder for this test (removed when the run ends).
std::filesystem::path scratchFolder();

// Runs the main event loop until done() holds. The guard only turns a hang into a failure.
bool runUntil(const std::function<bool()>& done,
              std::chrono::milliseconds guard = std::chrono::seconds(20));

// Runs what is queued on the main loop now (posted tasks, D-Bus messages already received,
// deferred deletions), without waiting for anything new.
void drain();

} // namespace merriphonic::bluez_test
