#include "platform/sim/sim_device.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <limits>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "core/time_units.h"
#include "platform/sim/sim_world.h"

namespace merriphonic {
namespace {

// Values read back as other types only when they convert exactly.
TEST(MemoryPrefsStoreTest, ReadsOtherTypesOnlyWhenTheyConvertExactly) {
    using Text = std::optional<std::string>;
    using Integer = std::optional<int64_t>;
    using Real = std::optional<double>;
    constexpr auto none = std::nullopt;
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    MemoryPrefsStore prefs;
    const auto reads = [&prefs] {
        return std::tuple{prefs.text("key"), prefs.integer("key"), prefs.real("key")};
    };
    prefs.setInteger("key", -42);
    EXPECT_EQ(reads(), std::tuple(Text("-42"), Integer(-42), Real(-42.0)));
    prefs.setInteger("key", std::numeric_limits<int64_t>::max()); // beyond a double
    EXPECT_EQ(prefs.real("key"), none);
    prefs.setReal("key", 0.1);
    EXPECT_EQ(reads(), std::tuple(Text("0.1"), Integer(none), Real(0.1)));
    for (const auto& [real, integer] :
         std::vector<std::pair<double, Integer>>{{-3.0, -3}, {9.3e18, none}, {nan, none}}) {
        prefs.setReal("key", real);
        EXPECT_EQ(prefs.integer("key"), integer) << real;
    }
    EXPECT_EQ(prefs.text("key"), none); // NaN
    for (const auto& [text, integer, real] :
         std::vector<std::tuple<std::string, Integer, Real>>{{"1234", 1234, 1234.0},
                                                             {"12a", none, none},
                                                             {" 12", none, none},
                                                             {"", none, none},
                                                             {"1.5", none, 1.5},
                                                             {"99999999999999999999", none, 1e20},
                                                             {"inf", none, none}}) {
        prefs.setText("key", text);
        EXPECT_EQ(reads(), std::tuple(Text(text), integer, real)) << text;
    }
    // Removal is final.
    prefs.remove("key");
    prefs.remove("never there");
    EXPECT_FALSE(prefs.contains("key"));
    EXPECT_EQ(prefs.text("key"), none);
}

TEST(InlineBackgroundWorkTest, RunsOffTheLoopsAndReportsOnMain) {
    SimWorld world;
    SimRunLoop main(world, "dev.main");
    InlineBackgroundWork background(main);
    std::vector<std::string> order;
    main.post([&] {
        background.run(
            "transcode",
            [&] {
                order.emplace_back(main.isCurrent() ? "work on main" : "work off loop");
                return 41;
            },
            [&](int result) {
                order.emplace_back("done " + std::to_string(result + 1) +
                                   (main.isCurrent() ? " on main" : " elsewhere"));
            });
        order.emplace_back("caller continues");
    });
    main.post([&] { order.emplace_back("queued earlier"); });
    world.runUntilIdle();
    EXPECT_EQ(order, (std::vector<std::string>{"work off loop", "caller continues",
                                               "queued earlier", "done 42 on main"}));
    EXPECT_EQ(background.executedCount(), 1U);
    EXPECT_EQ(background.lastLabel(), "transcode");
    EXPECT_EQ(world.nowNs(), 0); // no virtual time spent
}

TEST(SimDeviceTest, BundlesAContextWithItsOwnClockLoopsAndFolders) {
    SimWorld world;
    std::filesystem::path root;
    {
        SimDevice device(world, SimDeviceConfig{.name = "spk 1/x",
                                                .clockOffsetNs = 3 * nsPerSecond,
                                                .clockSkewPpm = 100.0});
        DeviceContext& context = device.context();
        root = context.folders.data.parent_path();
        EXPECT_TRUE(std::filesystem::is_directory(context.folders.data));
        EXPECT_TRUE(std::filesystem::is_directory(context.folders.cache));
        EXPECT_TRUE(std::filesystem::is_directory(context.folders.temp));
        EXPECT_EQ(device.main().name(), "spk 1/x.main");
        EXPECT_EQ(device.streams().name(), "spk 1/x.streams");

        int64_t firedAtDevice = 0;
        bool onStreams = false;
        context.streams.after(1 * nsPerSecond, [&] {
            firedAtDevice = context.clock.nowNs();
            onStreams = context.streams.isCurrent() && !context.main.isCurrent();
        });
        world.runFor(1 * nsPerSecond);
        EXPECT_EQ(firedAtDevice, 4 * nsPerSecond);
        EXPECT_TRUE(onStreams);
        EXPECT_EQ(context.clock.nowNs(), 4 * nsPerSecond + 100'000);

        context.log.info(LogCategory::app, "hello {}", 1);
        EXPECT_TRUE(device.logSink().contains("hello 1"));
        context.prefs.setInteger("volume", 7);
        EXPECT_EQ(device.prefs().integer("volume"), 7);
    }
    EXPECT_FALSE(std::filesystem::exists(root)); // removed with the device
}

TEST(SimDeviceTest, RestartKeepsPrefsAndGivenFolders) {
    SimWorld world;
    const std::filesystem::path root =
        std::filesystem::temp_directory_path() / "merriphonic-sim-device-test-restart";
    std::filesystem::remove_all(root);
    auto prefs = std::make_shared<MemoryPrefsStore>();
    {
        SimDevice first(world, SimDeviceConfig{.name = "host", .prefs = prefs, .folderRoot = root});
        first.prefs().setText("partyName", "Attic");
        EXPECT_EQ(first.folders().data, root / "data");
    }
    SimDevice second(world, SimDeviceConfig{.name = "host", .prefs = prefs, .folderRoot = root});
    EXPECT_EQ(second.prefs().text("partyName"), "Attic");
    EXPECT_TRUE(std::filesystem::is_directory(root / "cache"));
    std::filesystem::remove_all(root);
}

} // namespace
} // namespace merriphonic
