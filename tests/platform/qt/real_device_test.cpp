#include "platform/qt/real_device.h"
#include "platform/qt/stream_thread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tests/support/qt_test_support.h"

namespace merriphonic::test {
namespace {

// Keeps what it is given, and notes when it goes, where the test can still look.
class WatchedSink final : public LogSink {
public:
    struct Seen {
        std::vector<std::string> lines;
        bool gone = false;
    };
    void write(LogCategory /*category*/, LogLevel /*level*/, std::string_view message) override {
        seen->lines.emplace_back(message);
    }
    ~WatchedSink() override { seen->gone = true; }
    std::shared_ptr<Seen> seen = std::make_shared<Seen>();
};

TEST(RealDeviceTest, ContextHoldsTheRealServicesAndItsOwnFoldersUntilItsLoopIsDone) {
    const TempFolder home;
    const std::filesystem::path& root = home.path();
    const ScopedEnv data("XDG_DATA_HOME", (root / "data").string());
    const ScopedEnv cache("XDG_CACHE_HOME", (root / "cache").string());
    auto sink = std::make_shared<WatchedSink>();
    const std::shared_ptr<WatchedSink::Seen> seen = sink->seen;
    std::filesystem::path temp;
    {
        // The device is the sink's only owner.
        RealDevice device(RealDeviceOptions{root / "prefs.conf", std::nullopt, std::move(sink)});
        DeviceContext& context = device.context();
        // One folder of the app's in each XDG base, not one per organisation and application.
        EXPECT_EQ(context.folders.data, root / "data" / "Merriphonic");
        temp = context.folders.temp;
        EXPECT_TRUE(std::filesystem::is_directory(temp));

        // Work still queued on the main loop when the device goes (a connection's close
        // report, say) is destroyed with the loop, and may log as it goes: the log must still
        // be there.
        const Log& log = context.log;
        const std::shared_ptr<void> pending(nullptr, [&log, seen](void*) {
            if (!seen->gone) {
                log.info(LogCategory::app, "deallocated");
            }
        });
        context.main.post([pending] {});
    }
    EXPECT_TRUE(seen->gone);
    EXPECT_NE(std::find(seen->lines.begin(), seen->lines.end(), "deallocated"), seen->lines.end());
    // The device's temporary folder goes with it.
    EXPECT_FALSE(std::filesystem::exists(temp));
}

} // namespace
} // namespace merriphonic::test
