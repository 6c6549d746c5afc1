#include "qt_main_loop.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <array>
#include <memory>

namespace merriphonic::transport_test {

namespace {

std::unique_ptr<QtRunLoop>& mainLoopSlot() {
    static std::unique_ptr<QtRunLoop> loop;
    return loop;
}

class QtApplicationEnvironment final : public ::testing::Environment {
public:
    void SetUp() override {
        app_ = std::make_unique<QCoreApplication>(argc_, argv_.data());
        mainLoopSlot() = std::make_unique<QtRunLoop>();
    }
    void TearDown() override {
        mainLoopSlot().reset();
        app_.reset();
    }

private:
    int argc_ = 1;
    char name_[16] = "transport_tests";
    std::array<char*, 2> argv_{name_, nullptr};
    std::unique_ptr<QCoreApplication> app_;
};

[[maybe_unused]] const auto* const environment =
    ::testing::AddGlobalTestEnvironment(new QtApplicationEnvironment);

} // namespace

QtRunLoop& mainLoop() {
    return *mainLoopSlot();
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

} // namespace merriphonic::transport_test
