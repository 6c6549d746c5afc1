#include "tests/support/qt_test_support.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace merriphonic::test {

namespace {

QtRunLoop* mainLoopInstance = nullptr;

// Made once, before the first test, and deliberately never deleted (still reachable, so not a
// leak): repeated runs (--gtest_repeat) reuse them.
class QtApplicationEnvironment final : public ::testing::Environment {
public:
    void SetUp() override {
        if (QCoreApplication::instance() == nullptr) {
            static int argc = 1;
            static char name[] = "tests";
            static std::array<char*, 2> argv{name, nullptr};
            new QCoreApplication(argc, argv.data());
            mainLoopInstance = new QtRunLoop;
        }
    }
};

[[maybe_unused]] const auto* const environment =
    ::testing::AddGlobalTestEnvironment(new QtApplicationEnvironment);

void setEnv(const std::string& name, const std::optional<std::string>& value) {
    if (value) {
        ::setenv(name.c_str(), value->c_str(), 1);
    } else {
        ::unsetenv(name.c_str());
    }
}

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
    QTimer poll;
    poll.start(std::chrono::milliseconds(1));
    QEventLoop loop;
    while (!done() && !expired) {
        loop.processEvents(QEventLoop::WaitForMoreEvents);
    }
    return done();
}

void runMainLoopFor(std::chrono::milliseconds duration) {
    runMainLoopUntil([] { return false; }, duration);
}

ScopedEnv::ScopedEnv(std::string name, const std::optional<std::string>& value)
    : name_(std::move(name)) {
    if (const char* current = std::getenv(name_.c_str())) {
        previous_ = current;
    }
    setEnv(name_, value);
}

ScopedEnv::~ScopedEnv() {
    setEnv(name_, previous_);
}

} // namespace merriphonic::test
