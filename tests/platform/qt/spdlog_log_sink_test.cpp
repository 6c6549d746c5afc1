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
    sink->setMinimumLevel(LogLevel::error);
    EXPECT_FALSE(sink->enabled(LogLevel::info));
    log.info(LogCategory::app, "hidden");
    log.error(LogCategory::app, "failed");
    sink->flush();
    EXPECT_EQ(stream.str(), "BLE|info|[spk-ab12] streams opened\n"
                            "Sync|error|drift 41 ms\n"
                            "Player|debug|100% done\n"
                            "App|error|failed\n");

    EXPECT_EQ(SpdlogLogSink::levelFromText("debug"), LogLevel::debug);
}

} // namespace
} // namespace merriphonic::test
