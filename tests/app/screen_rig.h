#pragma once

// An app's window, loaded from the app's own QML over a simulated device, and the ways a test
// reads and presses what is on it.

#include <QQmlApplicationEngine>
#include <QQuickWindow>
#include <QString>
#include <QStringList>

#include <filesystem>
#include <memory>

#include "app/app_view_model.h"
#include "core/time_units.h"
#include "platform/prefs.h"
#include "tests/app/app_rig.h"

namespace merriphonic::test {

// Collects every warning Qt reports while it lives.
class QtWarnings {
public:
    QtWarnings();
    ~QtWarnings();
    QtWarnings(const QtWarnings&) = delete;
    QtWarnings& operator=(const QtWarnings&) = delete;
    [[nodiscard]] static QStringList all();
};

class ScreenApp {
public:
    explicit ScreenApp(AppDevice& device, QSize size = QSize(480, 820));
    ~ScreenApp();
    ScreenApp(const ScreenApp&) = delete;
    ScreenApp& operator=(const ScreenApp&) = delete;

    [[nodiscard]] AppViewModel& viewModel() { return *viewModel_; }
    [[nodiscard]] QQuickWindow* window() const { return window_; }

    // The texts of every visible item, in tree order.
    [[nodiscard]] QStringList texts() const;
    [[nodiscard]] bool shows(const QString& text) const;
    // Clicks the last visible control with that text (or holding a text that reads so).
    // Returns false when there is none.
    bool click(const QString& text);
    // Writes what the window shows as a PNG.
    void grab(const std::filesystem::path& file) const;

private:
    std::unique_ptr<AppViewModel> viewModel_;
    std::unique_ptr<QQmlApplicationEngine> engine_;
    QQuickWindow* window_ = nullptr;
};

// Lets Qt run what is pending: bindings, layouts, rendering.
void settle();
// Runs the world in 10 ms steps, letting Qt follow, until done() or the timeout.
bool runScreensUntil(AppRig& rig, const std::function<bool()>& done,
                     int64_t timeoutNs = 60 * nsPerSecond);
void runScreensFor(AppRig& rig, int64_t ns);

} // namespace merriphonic::test
