#include "platform/qt/real_device.h"
#include "platform/qt/stream_thread.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

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

        EXPECT_TRUE(context.folders.data.string().starts_with((root / "data").string()));
        EXPECT_TRUE(context.folders.cache.string().starts_with((root / "cache").string()));
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

} // namespace
} // namespace merriphonic::test
