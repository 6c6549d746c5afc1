#include "qt_test_support.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <array>

namespace merriphonic::qt_test {

namespace {

QCoreApplication* application = nullptr;
QtRunLoop* mainLoopInstance = nullptr;

// Every test of this binary runs inside one QCoreApplication, on its main thread. It lives as
// long as the process, like the app's and like the stream thread, which outlives each test:
// repeated runs (--gtest_repeat) reuse it rather than build a second application.
class QtApplicationEnvironment final : public ::testing::Environment {
public:
    void SetUp() override {
        if (QCoreApplication::instance() == nullptr) {
            static int argc = 1;
            static char name[] = "platform_qt_tests";
            static std::array<char*, 2> argv{name, nullptr};
            // Deliberately never deleted (still reachable, so not a leak).
            application = new QCoreApplication(argc, argv.data());
            mainLoopInstance = new QtRunLoop;
        }
    }
};

[[maybe_unused]] const auto* const environment =
    ::testing::AddGlobalTestEnvironment(new QtApplicationEnvironment);

} // namespace

QtRunLoop& mainLoop() {
    return *mainLoopInstance;
}

bool runMainLoopUntil(const std::function<bool()>& done, std::chrono::milliseconds guard) {
    bool expired = false;
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, [&expired] { expired = true; });
    timer.start(guard);
    QEventLoop loop;
    while (!done() && !expired) {
        loop.processEvents(QEventLoop::WaitForMoreEvents);
    }
    return done();
}

} // namespace merriphonic::qt_test
