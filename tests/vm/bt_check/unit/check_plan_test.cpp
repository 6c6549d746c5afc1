#include <gtest/gtest.h>

#include "core/utf8.h"
#include "tests/vm/bt_check/check_plan.h"
#include "transport/host_peripheral.h"

namespace merriphonic {
namespace {

TEST(CheckPlanTest, TheFirstPartysInfoRecordHasThePlannedSizeAndAnAsciiBeginning) {
    const std::string first = CheckPlan::partyName(0);
    EXPECT_EQ(HostPeripheral::infoValue(first).size(), CheckPlan::firstInfoBytes);
    // The advertisement keeps only the beginning; it must not cut a character in two.
    for (size_t i = 0; i < 32; ++i) {
        EXPECT_LT(static_cast<unsigned char>(first[i]), 0x80) << i;
    }
    EXPECT_NE(first.find("\u266b"), std::string::npos);
    EXPECT_TRUE(utf8::isWellFormed(first));
    // The second party's name fits an advertisement (31 bytes, less the field's header) whole.
    EXPECT_LE(CheckPlan::partyName(1).size(), 29U);
    EXPECT_NE(CheckPlan::partyName(0), CheckPlan::partyName(1));
}

TEST(CheckPlanTest, AnAdvertisedNameAnnouncesAPartyWholeOrShortened) {
    const std::string first = CheckPlan::partyName(0);
    EXPECT_TRUE(CheckPlan::announces(first, 0));
    EXPECT_TRUE(CheckPlan::announces(first.substr(0, 27), 0));
    EXPECT_FALSE(CheckPlan::announces(first.substr(0, 27), 1));
    EXPECT_FALSE(CheckPlan::announces(first.substr(0, 5), 0));
    EXPECT_TRUE(CheckPlan::announces(CheckPlan::partyName(1), 1));
    EXPECT_FALSE(CheckPlan::announces(CheckPlan::partyName(1), 0));
    EXPECT_FALSE(CheckPlan::announces("Merriphonic host", 1));
    EXPECT_FALSE(CheckPlan::announces("", 0));
}

} // namespace
} // namespace merriphonic
