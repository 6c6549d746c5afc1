#include "platform/qt/real_device.h"
#include "platform/qt/stream_thread.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>

#include "tests/support/qt_test_support.h"

namespace merriphonic::test {
namespace {

class CaptureSink final : public LogSink {
public:
    void write(LogCategory /*category*/, LogLevel /*level*/, std::string_view message) override {
        last = message;
    }
    std::string last;
};

TEST(RealDeviceTest, ContextHoldsTheRealServicesAndItsOwnFolders) {
    const TempFolder home;
    const std::filesystem::path& root = home.path();
    const ScopedEnv data("XDG_DATA_HOME", (root / "data").string());
    const ScopedEnv cache("XDG_CACHE_HOME", (root / "cache").string());
    auto sink = std::make_shared<CaptureSink>();
    std::filesystem::path temp;
    {
        RealDevice device(RealDeviceOptions{root / "prefs.conf", std::nullopt, sink});
        DeviceContext& context = device.context();
        EXPECT_EQ(&context.streams, &StreamThread::shared());
        EXPECT_TRUE(context.main.isCurrent());

        // One folder of the app's in each XDG base, not one per organisation and application.
        EXPECT_EQ(context.folders.data, root / "data" / "Merriphonic");
        EXPECT_EQ(context.folders.cache, root / "cache" / "Merriphonic");
        EXPECT_TRUE(std::filesystem::is_directory(context.folders.data));
        EXPECT_TRUE(std::filesystem::is_directory(context.folders.cache));
        temp = context.folders.temp;
        EXPECT_TRUE(std::filesystem::is_directory(temp));

        context.prefs.setInteger("delayMs", 40);
        EXPECT_EQ(context.prefs.integer("delayMs"), 40);
        context.log.info(LogCategory::app, "hello {}", 1);
        EXPECT_EQ(sink->last, "hello 1");

        std::optional<int> answer;
        context.background.run(
            "app.merriphonic.test", [] { return 42; }, [&answer](int value) { answer = value; });
        EXPECT_TRUE(runMainLoopUntil([&] { return answer.has_value(); }));
        EXPECT_EQ(answer, 42);
    }
    // The device's temporary folder goes with it.
    EXPECT_FALSE(std::filesystem::exists(temp));
}

// Work still queued on the main loop when the device goes (a connection's close report, say) is
// destroyed with the loop, and may log as it goes: the log must still be there.
TEST(RealDeviceTest, WorkLeftOnTheMainLoopMayLogWhileTheDeviceIsDestroyed) {
    const TempFolder home;
    const std::filesystem::path& root = home.path();
    // The sink notes whether a line came while it was still alive.
    struct WatchedSink final : LogSink {
        void write(LogCategory /*category*/, LogLevel /*level*/,
                   std::string_view message) override {
            if (message == "deallocated") {
                *logged = true;
            }
        }
        ~WatchedSink() override { *gone = true; }
        std::shared_ptr<bool> logged = std::make_shared<bool>(false);
        std::shared_ptr<bool> gone = std::make_shared<bool>(false);
    };
    auto sink = std::make_shared<WatchedSink>();
    const auto logged = sink->logged;
    const auto gone = sink->gone;
    {
        // The device is the sink's only owner.
        RealDevice device(RealDeviceOptions{root / "prefs.conf", DeviceFolders{root, root, root},
                                            std::move(sink)});
        const Log& log = device.context().log;
        const std::shared_ptr<void> pending(nullptr, [&log, gone](void*) {
            if (!*gone) {
                log.info(LogCategory::app, "deallocated");
            }
        });
        device.context().main.post([pending] {});
    }
    EXPECT_TRUE(*gone);
    EXPECT_TRUE(*logged);
}

} // namespace
} // namespace merriphonic::test
