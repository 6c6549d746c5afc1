#include "platform/qt/journal_sink.h"
#include "platform/qt/spdlog_log_sink.h"

#include <spdlog/sinks/ostream_sink.h>

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace merriphonic::test {
namespace {

TEST(SpdlogLogSinkTest, WritesEachCategoryUnderItsNameFromTheMinimumLevelUp) {
    std::ostringstream stream;
    auto out = std::make_shared<spdlog::sinks::ostream_sink_mt>(stream);
    out->set_pattern("%n|%l|%v");
    auto sink =
        std::make_shared<SpdlogLogSink>(std::vector<spdlog::sink_ptr>{out}, LogLevel::debug);
    const Log log(sink);
    log.info(LogCategory::ble, "[{}] streams opened", "spk-ab12");
    log.error(LogCategory::sync, "drift {} ms", 41);
    log.debug(LogCategory::player, "100% done");
    log.info(LogCategory::transfer, "chunk");
    sink->setMinimumLevel(LogLevel::info);
    EXPECT_FALSE(sink->enabled(LogLevel::debug));
    log.debug(LogCategory::app, "hidden");
    log.info(LogCategory::app, "party");
    sink->setMinimumLevel(LogLevel::error);
    log.info(LogCategory::app, "hidden too");
    log.error(LogCategory::app, "failed");
    sink->flush();
    EXPECT_EQ(stream.str(), "BLE|info|[spk-ab12] streams opened\n"
                            "Sync|error|drift 41 ms\n"
                            "Player|debug|100% done\n"
                            "Transfer|info|chunk\n"
                            "App|info|party\n"
                            "App|error|failed\n");

    EXPECT_EQ(SpdlogLogSink::levelFromText(nullptr), LogLevel::info);
    EXPECT_EQ(SpdlogLogSink::levelFromText("debug"), LogLevel::debug);
    EXPECT_EQ(SpdlogLogSink::levelFromText("error"), LogLevel::error);
    EXPECT_EQ(SpdlogLogSink::levelFromText("verbose"), LogLevel::info);
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
} // namespace merriphonic::test
