#include "platform/qt/journal_sink.h"
#include "platform/qt/spdlog_log_sink.h"

#include <spdlog/sinks/ostream_sink.h>

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace merriphonic {
namespace {

struct Captured {
    std::ostringstream stream;
    std::shared_ptr<SpdlogLogSink> sink;

    explicit Captured(LogLevel minimum) {
        auto out = std::make_shared<spdlog::sinks::ostream_sink_mt>(stream);
        out->set_pattern("%n|%l|%v");
        sink = std::make_shared<SpdlogLogSink>(std::vector<spdlog::sink_ptr>{out}, minimum);
    }
    std::vector<std::string> lines() {
        sink->flush();
        std::vector<std::string> result;
        std::istringstream in(stream.str());
        for (std::string line; std::getline(in, line);) {
            result.push_back(line);
        }
        return result;
    }
};

TEST(SpdlogLogSinkTest, WritesEachCategoryUnderItsNameAndLevel) {
    Captured captured(LogLevel::debug);
    const Log log(captured.sink);
    log.info(LogCategory::ble, "[{}] streams opened", "spk-ab12");
    log.error(LogCategory::sync, "drift {} ms", 41);
    log.debug(LogCategory::player, "100% done");
    log.info(LogCategory::transfer, "chunk");
    log.info(LogCategory::app, "party");
    EXPECT_EQ(captured.lines(),
              (std::vector<std::string>{"BLE|info|[spk-ab12] streams opened",
                                        "Sync|error|drift 41 ms", "Player|debug|100% done",
                                        "Transfer|info|chunk", "App|info|party"}));
}

TEST(SpdlogLogSinkTest, LevelsBelowTheMinimumAreNeitherFormattedNorWritten) {
    Captured captured(LogLevel::info);
    const Log log(captured.sink);
    EXPECT_FALSE(captured.sink->enabled(LogLevel::debug));
    log.debug(LogCategory::app, "hidden");
    log.info(LogCategory::app, "shown");
    captured.sink->setMinimumLevel(LogLevel::error);
    log.info(LogCategory::app, "hidden too");
    log.error(LogCategory::app, "failed");
    EXPECT_EQ(captured.lines(), (std::vector<std::string>{"App|info|shown", "App|error|failed"}));

    EXPECT_EQ(SpdlogLogSink::levelFromText(nullptr), LogLevel::info);
    EXPECT_EQ(SpdlogLogSink::levelFromText("debug"), LogLevel::debug);
    EXPECT_EQ(SpdlogLogSink::levelFromText("error"), LogLevel::error);
    EXPECT_EQ(SpdlogLogSink::levelFromText("verbose"), LogLevel::info);
}

TEST(SpdlogLogSinkTest, LinesFromSeveralThreadsArriveWhole) {
    Captured captured(LogLevel::info);
    const Log log(captured.sink);
    std::vector<std::thread> threads;
    threads.reserve(4);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&log, t] {
            for (int i = 0; i < 200; ++i) {
                log.info(LogCategory::ble, "thread {} line {}", t, i);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    const auto lines = captured.lines();
    ASSERT_EQ(lines.size(), 800U);
    for (const auto& line : lines) {
        EXPECT_TRUE(line.starts_with("BLE|info|thread ")) << line;
    }
}

TEST(JournalSinkTest, EntriesCarryTheCategoryAndTheSubsystem) {
    EXPECT_EQ(JournalSink::fields("Transfer", spdlog::level::err, "disk 100% full"),
              (std::vector<std::string>{"MESSAGE=disk 100% full", "PRIORITY=3",
                                        "SYSLOG_IDENTIFIER=app.merriphonic",
                                        "MERRIPHONIC_CATEGORY=Transfer"}));
    EXPECT_EQ(JournalSink::priority(spdlog::level::debug), 7);
    EXPECT_EQ(JournalSink::priority(spdlog::level::info), 6);
}

} // namespace
} // namespace merriphonic
