// The simulated world that every simulated test runs in: its loops, the device clocks they keep
// time by, and the devices that bundle them.
#include <gtest/gtest.h>

#include <filesystem>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "core/time_units.h"
#include "platform/sim/sim_clock.h"
#include "platform/sim/sim_device.h"
#include "platform/sim/sim_run_loop.h"
#include "platform/sim/sim_world.h"

namespace merriphonic {
namespace {

TEST(SimWorldTest, RunsEventsByTimeThenInsertionOrderUpToItsLimits) {
    SimWorld world(1, 1000);
    SimRunLoop a(world, "a");
    SimRunLoop b(world, "b");
    std::vector<std::string> order;
    world.schedule(3000, &a, [&] { order.emplace_back("a@3000"); });
    b.post([&] { order.emplace_back("b-post1"); });
    world.schedule(2000, &b, [&] { order.emplace_back("b@2000"); });
    a.post([&] {
        order.emplace_back("a-post");
        // Queued behind what is already due now; an instant in the past means now.
        world.schedule(0, &b,
                       [&] { order.emplace_back("b-past@" + std::to_string(world.nowNs())); });
    });
    world.schedule(2000, nullptr, [&] { order.emplace_back("world@2000"); });
    world.schedule(3001, &b, [&] { order.emplace_back("b@3001"); });

    // runUntil includes its limit and never goes back.
    world.runUntil(3000);
    EXPECT_EQ(order, (std::vector<std::string>{"b-post1", "a-post", "b-past@1000", "b@2000",
                                               "world@2000", "a@3000"}));
    EXPECT_EQ(world.executedEvents(), 6U);
    world.runUntil(5);
    EXPECT_EQ(world.nowNs(), 3000);
    world.runFor(0);
    EXPECT_EQ(order.size(), 6U);
    world.runFor(1);
    EXPECT_EQ(order.back(), "b@3001");
    world.runFor(100);
    EXPECT_EQ(world.nowNs(), 3101);
    EXPECT_FALSE(world.step());
    a.after(7, [] {});
    EXPECT_EQ(world.nextEventNs(), 3108);
    EXPECT_TRUE(world.step());
    EXPECT_EQ(world.nowNs(), 3108);

    // runUntilIdle stops at either of its limits.
    TimerHandle forever = a.every(10 * nsPerMs, [] {});
    EXPECT_FALSE(world.runUntilIdle({.maxDurationNs = 1 * nsPerSecond}));
    EXPECT_EQ(world.nowNs(), 3108 + 1 * nsPerSecond);
    const uint64_t executed = world.executedEvents();
    EXPECT_FALSE(world.runUntilIdle({.maxEvents = 5}));
    EXPECT_EQ(world.executedEvents(), executed + 5);
    EXPECT_EQ(world.pendingEvents(), 1U);
    forever.cancel();
    EXPECT_EQ(world.pendingEvents(), 0U);
    const int64_t before = world.nowNs();
    EXPECT_TRUE(world.runUntilIdle());
    EXPECT_EQ(world.nowNs(), before);
}

TEST(SimWorldTest, CancelledTimersNeverFire) {
    SimWorld world;
    SimRunLoop loop(world, "main");
    std::vector<std::string> fired;
    loop.after(5 * nsPerMs, [&] { fired.emplace_back("early"); }).cancel();
    // Two timers due at the same instant: the first cancels the second.
    TimerHandle second;
    loop.after(10 * nsPerMs, [&] {
        fired.emplace_back("first");
        second.cancel();
    });
    second = loop.after(10 * nsPerMs, [&] { fired.emplace_back("second"); });
    // A repeating timer cancelled from its own task, and one cancelled by another timer.
    int selfCount = 0;
    TimerHandle self;
    self = loop.every(3 * nsPerMs, [&] {
        if (++selfCount == 3) {
            self.cancel();
        }
    });
    int otherCount = 0;
    TimerHandle other = loop.every(4 * nsPerMs, [&] { ++otherCount; });
    // Due at the same instant as the 5th firing, and queued first.
    loop.after(20 * nsPerMs, [&] { other.cancel(); });
    // An empty handle never schedules anything.
    world.schedule(
        1 * nsPerMs, &loop, [&] { fired.emplace_back("empty"); }, TimerHandle());

    EXPECT_TRUE(world.runUntilIdle());
    EXPECT_EQ(fired, (std::vector<std::string>{"first"}));
    EXPECT_EQ(selfCount, 3);
    EXPECT_EQ(otherCount, 4);
    // Discarded timers neither advance the time nor count as executed events.
    EXPECT_EQ(world.nowNs(), 20 * nsPerMs);
}

TEST(SimWorldTest, LoopTimersRunOnTheDeviceClock) {
    SimWorld world;
    SimClock clock(world, 5 * nsPerSecond, 100.0); // runs 100 ppm fast
    SimRunLoop loop(world, "dev.main", &clock);

    int64_t afterWorld = -1;
    loop.after(1 * nsPerSecond, [&] { afterWorld = world.nowNs(); });
    std::vector<int64_t> readings;
    const int64_t base = clock.nowNs();
    TimerHandle tick = loop.every(250 * nsPerMs, [&] { readings.push_back(clock.nowNs()); });
    world.runFor(10 * nsPerSecond);
    tick.cancel();

    // 1 s of a clock running 1.0001 times as fast: 999,900,009.999 ns of world time, rounded up.
    EXPECT_EQ(afterWorld, 999'900'010);
    ASSERT_EQ(readings.size(), 40U);
    for (size_t k = 0; k < readings.size(); ++k) {
        const int64_t deadline = base + static_cast<int64_t>(k + 1) * 250 * nsPerMs;
        // Fired at the first world nanosecond at which the device clock had reached it, with
        // no rounding carried from one period to the next.
        EXPECT_GE(readings[k], deadline);
        EXPECT_LE(readings[k], deadline + 1);
    }

    // A step forward skips the missed firings instead of bunching them.
    std::vector<int64_t> after;
    const int64_t base2 = clock.nowNs();
    TimerHandle tick2 = loop.every(100 * nsPerMs, [&] { after.push_back(clock.nowNs() - base2); });
    world.runFor(150 * nsPerMs); // fires once, at +100 ms
    clock.step(1 * nsPerSecond); // device now at about +1150 ms
    world.runFor(100 * nsPerMs);
    tick2.cancel();
    ASSERT_EQ(after.size(), 2U);
    EXPECT_NEAR(static_cast<double>(after[1]), 1200.0 * nsPerMs, 2.0);
}

TEST(SimWorldTest, KnowsWhichLoopRunsAndRefusesToRunFromInsideATask) {
    SimWorld world;
    SimRunLoop main(world, "dev1.main");
    SimRunLoop streams(world, "dev1.streams");
    EXPECT_FALSE(main.isCurrent());
    std::vector<std::string> log;
    main.post([&] {
        log.emplace_back(std::string("main:") + (main.isCurrent() ? "main" : "") +
                         (streams.isCurrent() ? "streams" : ""));
        streams.runOrPost([&] { log.emplace_back(streams.isCurrent() ? "posted" : "wrong"); });
        main.runOrPost([&] { log.emplace_back("inline"); });
        world.runOutsideLoops([&] {
            log.emplace_back(main.isCurrent() || streams.isCurrent() ? "wrong" : "outside");
        });
        log.emplace_back(main.isCurrent() ? "restored" : "wrong");
        EXPECT_THROW(world.runFor(1), std::logic_error);
    });
    world.runUntilIdle();
    EXPECT_EQ(log,
              (std::vector<std::string>{"main:main", "inline", "outside", "restored", "posted"}));
    EXPECT_EQ(world.currentLoop(), nullptr);

    // A task that throws leaves the world usable.
    main.post([] { throw std::runtime_error("task failed"); });
    EXPECT_THROW(world.runUntilIdle(), std::runtime_error);
    EXPECT_EQ(world.currentLoop(), nullptr);
    bool later = false;
    main.post([&] { later = true; });
    EXPECT_TRUE(world.runUntilIdle());
    EXPECT_TRUE(later);
}

TEST(SimWorldTest, DestroyedLoopDropsItsEventsAndRefs) {
    SimWorld world;
    SimRunLoop survivor(world, "survivor");
    auto doomed = std::make_unique<SimRunLoop>(world, "doomed");
    auto captured = std::make_shared<int>(0);
    int ran = 0;
    survivor.post([&] { doomed.reset(); });
    // Queued while the loop exists, due after it is gone: never run.
    doomed->post([&ran, captured] { ++ran; });
    doomed->every(1 * nsPerMs, [&ran] { ++ran; });
    SimLoopRef ref = doomed->ref();
    EXPECT_TRUE(ref.isAlive());
    world.schedule(0, nullptr, [&ref, &ran] { ref.post([&ran] { ++ran; }); });
    EXPECT_TRUE(world.runUntilIdle({.maxDurationNs = 1 * nsPerSecond}));
    EXPECT_EQ(ran, 0);
    EXPECT_FALSE(ref.isAlive());
    EXPECT_FALSE(ref.post([] {}));
    EXPECT_EQ(captured.use_count(), 1); // the dropped task was destroyed
}

constexpr int64_t day = 86'400 * nsPerSecond;

TEST(SimClockTest, DriftsExactlyAsConfigured) {
    SimWorld world;
    SimClock fast(world, 7 * nsPerSecond, 100.0);
    SimClock slow(world, 0, -50.0);
    SimClock fractional(world, 0, 12.5);
    SimClock exact(world);
    EXPECT_EQ(fast.nowNs(), 7 * nsPerSecond);

    world.runFor(1000 * nsPerSecond);
    EXPECT_EQ(fast.nowNs(),
              7 * nsPerSecond + 1000 * nsPerSecond + 100'000'000); // 100 ppm of 1000 s = 100 ms
    EXPECT_EQ(slow.nowNs(), 1000 * nsPerSecond - 50'000'000);
    EXPECT_EQ(exact.nowNs(), world.nowNs());

    // No accumulation of rounding over days of virtual time.
    EXPECT_EQ(fractional.deviceTimeAt(3 * day), 3 * day + 3'240'000'000);
    EXPECT_EQ(fast.deviceTimeAt(100 * day), 7 * nsPerSecond + 100 * day + 864'000'000'000);
    EXPECT_EQ(SimClock(world, 0, 0.001).deviceTimeAt(7 * day), 7 * day + 604'800);
    EXPECT_EQ(fast.offsetNs(), 7 * nsPerSecond + 100'000'000);
}

TEST(SimClockTest, WorldTimeAtIsTheExactInverse) {
    SimWorld world(1, 3 * nsPerSecond);
    for (double skew : {0.0, 100.0, -100.0, 33.333, -0.7, 999'999.0, -999'000.0}) {
        SimClock clock(world, -5 * nsPerSecond, skew);
        for (int64_t device : {int64_t{0}, int64_t{1}, 3 * nsPerSecond, 3 * nsPerSecond + 1,
                               10 * day + 12'345, -2 * nsPerSecond - 7}) {
            const int64_t worldNs = clock.worldTimeAt(device);
            // The earliest world nanosecond at which the clock shows the reading.
            EXPECT_GE(clock.deviceTimeAt(worldNs), device) << skew << " " << device;
            EXPECT_LT(clock.deviceTimeAt(worldNs - 1), device) << skew << " " << device;
        }
    }
}

TEST(SimClockTest, SkewChangesKeepTheClockMonotonicStepsDoNot) {
    SimWorld world;
    SimClock clock(world, 0, 200.0);
    world.runFor(10 * nsPerSecond);
    const int64_t before = clock.nowNs();
    EXPECT_EQ(before, 10 * nsPerSecond + 2'000'000);
    clock.setSkewPpm(-300.0);
    EXPECT_EQ(clock.nowNs(), before); // no jump at the change
    EXPECT_EQ(clock.skewPpm(), -300.0);
    world.runFor(10 * nsPerSecond);
    EXPECT_EQ(clock.nowNs(), before + 10 * nsPerSecond - 3'000'000);
    EXPECT_EQ(clock.worldTimeAt(before + 10 * nsPerSecond - 3'000'000), 20 * nsPerSecond);

    clock.step(-1 * nsPerSecond); // explicitly requested: the one way back
    EXPECT_EQ(clock.nowNs(), before + 9 * nsPerSecond - 3'000'000);
    clock.setOffsetNs(-4 * nsPerSecond);
    EXPECT_EQ(clock.nowNs(), 16 * nsPerSecond);
    world.runFor(1 * nsPerSecond);
    EXPECT_EQ(clock.nowNs(), 17 * nsPerSecond - 300'000); // still at the set skew

    EXPECT_THROW(clock.setSkewPpm(-1e6), std::invalid_argument);
    EXPECT_THROW(SimClock(world, 0, 2e6), std::invalid_argument);
    EXPECT_EQ(clock.skewPpm(), -300.0);
}

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
