#include "platform/sim/sim_device.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "platform/sim/sim_world.h"

namespace merriphonic {
namespace {

constexpr int64_t sec = 1'000'000'000;

TEST(MemoryPrefsStoreTest, ReadsOtherTypesOnlyWhenTheyConvertExactly) {
    MemoryPrefsStore prefs;
    EXPECT_EQ(prefs.text("missing"), std::nullopt);

    prefs.setInteger("int", -42);
    EXPECT_EQ(prefs.integer("int"), -42);
    EXPECT_EQ(prefs.text("int"), "-42");
    EXPECT_EQ(prefs.real("int"), -42.0);
    prefs.setInteger("huge", std::numeric_limits<int64_t>::max());
    EXPECT_EQ(prefs.real("huge"), std::nullopt); // a double cannot hold it

    prefs.setReal("real", 0.1);
    EXPECT_EQ(prefs.real("real"), 0.1);
    EXPECT_EQ(prefs.text("real"), "0.1");
    EXPECT_EQ(prefs.integer("real"), std::nullopt);
    prefs.setReal("whole", -3.0);
    EXPECT_EQ(prefs.integer("whole"), -3);
    prefs.setReal("beyond", 9.3e18);
    EXPECT_EQ(prefs.integer("beyond"), std::nullopt);
    prefs.setReal("nan", std::numeric_limits<double>::quiet_NaN());
    EXPECT_EQ(prefs.integer("nan"), std::nullopt);
    EXPECT_EQ(prefs.text("nan"), std::nullopt);

    prefs.setText("digits", "1234");
    EXPECT_EQ(prefs.integer("digits"), 1234);
    EXPECT_EQ(prefs.real("digits"), 1234.0);
    for (const char* text : {"12a", " 12", "", "1.5", "99999999999999999999"}) {
        prefs.setText("odd", text);
        EXPECT_EQ(prefs.integer("odd"), std::nullopt) << text;
    }
    prefs.setText("odd", "1.5");
    EXPECT_EQ(prefs.real("odd"), 1.5);
    prefs.setText("odd", "inf");
    EXPECT_EQ(prefs.real("odd"), std::nullopt);

    // A new value replaces the old one whatever its type; removal is final.
    prefs.setText("int", "now text");
    EXPECT_EQ(prefs.integer("int"), std::nullopt);
    EXPECT_EQ(prefs.text("int"), "now text");
    prefs.remove("int");
    prefs.remove("never there");
    EXPECT_FALSE(prefs.contains("int"));
    EXPECT_EQ(prefs.text("int"), std::nullopt);
}

TEST(CaptureLogSinkTest, RecordsEveryLevelInOrder) {
    auto sink = std::make_shared<CaptureLogSink>("spk1");
    sink->setEcho(std::nullopt);
    Log log(sink);
    log.debug(LogCategory::ble, "[{}] ignoring unknown type 0x{:x} ({} B)", "host", 0x7f, 3);
    log.info(LogCategory::sync, "offset {} ns", -12);
    log.error(LogCategory::ble, "[host] closed: {}", "stream ended (EOF)");
    EXPECT_EQ(sink->lines(),
              (std::vector<CapturedLogLine>{
                  {LogCategory::ble, LogLevel::debug, "[host] ignoring unknown type 0x7f (3 B)"},
                  {LogCategory::sync, LogLevel::info, "offset -12 ns"},
                  {LogCategory::ble, LogLevel::error, "[host] closed: stream ended (EOF)"}}));
    EXPECT_TRUE(sink->contains("stream ended (EOF)"));
    EXPECT_FALSE(sink->contains("party full"));
    EXPECT_EQ(sink->count("[host]"), 2U);
    sink->clear();
    EXPECT_EQ(sink->size(), 0U);
    EXPECT_FALSE(sink->contains("offset"));
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
        SimDevice device(
            world,
            SimDeviceConfig{.name = "spk 1/x", .clockOffsetNs = 3 * sec, .clockSkewPpm = 100.0});
        DeviceContext& context = device.context();
        root = context.folders.data.parent_path();
        EXPECT_TRUE(std::filesystem::is_directory(context.folders.data));
        EXPECT_TRUE(std::filesystem::is_directory(context.folders.cache));
        EXPECT_TRUE(std::filesystem::is_directory(context.folders.temp));
        EXPECT_EQ(device.main().name(), "spk 1/x.main");
        EXPECT_EQ(device.streams().name(), "spk 1/x.streams");

        int64_t firedAtDevice = 0;
        bool onStreams = false;
        context.streams.after(1 * sec, [&] {
            firedAtDevice = context.clock.nowNs();
            onStreams = context.streams.isCurrent() && !context.main.isCurrent();
        });
        world.runFor(1 * sec);
        EXPECT_EQ(firedAtDevice, 4 * sec);
        EXPECT_TRUE(onStreams);
        EXPECT_EQ(context.clock.nowNs(), 4 * sec + 100'000);

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
