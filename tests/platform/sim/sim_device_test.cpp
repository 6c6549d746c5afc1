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
    using Reads =
        std::tuple<std::optional<std::string>, std::optional<int64_t>, std::optional<double>>;
    constexpr auto none = std::nullopt;
    MemoryPrefsStore prefs;
    const auto reads = [&prefs] {
        return Reads{prefs.text("key"), prefs.integer("key"), prefs.real("key")};
    };
    prefs.setInteger("key", -42);
    EXPECT_EQ(reads(), Reads("-42", -42, -42.0));
    prefs.setInteger("key", std::numeric_limits<int64_t>::max()); // beyond a double
    EXPECT_EQ(prefs.real("key"), none);
    for (const auto& [real, expected] :
         std::vector<std::pair<double, Reads>>{{0.1, {"0.1", none, 0.1}},
                                               {-3.0, {"-3", -3, -3.0}},
                                               {9.3e18, {"9.3e+18", none, 9.3e18}}}) {
        prefs.setReal("key", real);
        EXPECT_EQ(reads(), expected) << real;
    }
    prefs.setReal("key", std::numeric_limits<double>::quiet_NaN());
    EXPECT_EQ(prefs.text("key"), none);
    EXPECT_EQ(prefs.integer("key"), none);
    for (const auto& [text, integer, real] :
         std::vector<std::tuple<std::string, std::optional<int64_t>, std::optional<double>>>{
             {"1234", 1234, 1234.0},
             {"12a", none, none},
             {" 12", none, none},
             {"", none, none},
             {"1.5", none, 1.5},
             {"99999999999999999999", none, 1e20},
             {"inf", none, none}}) {
        prefs.setText("key", text);
        EXPECT_EQ(reads(), Reads(text, integer, real)) << text;
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

TEST(SimDeviceTest, BundlesAContextWithItsOwnClockLoopsAndFoldersAndRestartsWithItsPrefs) {
    SimWorld world;
    std::filesystem::path root;
    auto prefs = std::make_shared<MemoryPrefsStore>();
    {
        SimDevice device(world, SimDeviceConfig{.name = "spk 1/x",
                                                .clockOffsetNs = 3 * nsPerSecond,
                                                .clockSkewPpm = 100.0,
                                                .prefs = prefs});
        DeviceContext& context = device.context();
        root = context.folders.data.parent_path();
        for (const auto& folder :
             {context.folders.data, context.folders.cache, context.folders.temp}) {
            EXPECT_TRUE(std::filesystem::is_directory(folder)) << folder;
        }
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
        context.prefs.setText("partyName", "Attic");
    }
    EXPECT_FALSE(std::filesystem::exists(root)); // removed with the device

    // A restart over given folders keeps them, and the prefs.
    root = std::filesystem::temp_directory_path() / "merriphonic-sim-device-test-restart";
    std::filesystem::remove_all(root);
    { const SimDevice first(world, SimDeviceConfig{.name = "host", .folderRoot = root}); }
    SimDevice again(world, SimDeviceConfig{.name = "host", .prefs = prefs, .folderRoot = root});
    EXPECT_EQ(again.folders().data, root / "data");
    EXPECT_TRUE(std::filesystem::is_directory(root / "cache"));
    EXPECT_EQ(again.prefs().text("partyName"), "Attic");
    std::filesystem::remove_all(root);
}

} // namespace
} // namespace merriphonic
