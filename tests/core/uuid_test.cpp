#include "core/uuid.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace merriphonic {
namespace {

TEST(Uuid, RandomOnesAreDistinctCanonicalVersion4AndCaseIsNoDifference) {
    std::set<std::string> seen;
    for (int i = 0; i < 100; ++i) {
        const std::string id = randomUuid();
        EXPECT_EQ(canonicalUuid(id), id);
        EXPECT_EQ(id[14], '4');
        EXPECT_NE(std::string("89AB").find(id[19]), std::string::npos);
        seen.insert(id);
    }
    EXPECT_EQ(seen.size(), 100U);

    EXPECT_EQ(canonicalUuid("0f8fad5b-d9cb-469f-a165-70867728950e"),
              "0F8FAD5B-D9CB-469F-A165-70867728950E");
    EXPECT_FALSE(canonicalUuid("0f8fad5bd9cb-469f-a165-70867728950e0"));
    EXPECT_FALSE(canonicalUuid("0f8fad5b-d9cb-469f-a165-70867728950g"));
    EXPECT_TRUE(
        sameUuid("0f8fad5b-d9cb-469f-a165-70867728950e", "0F8FAD5B-D9CB-469F-A165-70867728950E"));
    EXPECT_FALSE(
        sameUuid("0f8fad5b-d9cb-469f-a165-70867728950e", "0F8FAD5B-D9CB-469F-A165-70867728950F"));
    EXPECT_FALSE(sameUuid("180A", "180A0"));
}

} // namespace
} // namespace merriphonic
