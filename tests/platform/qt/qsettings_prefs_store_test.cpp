#include "platform/qt/qsettings_prefs_store.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <limits>

#include "tests/support/qt_test_support.h"

namespace merriphonic::test {
namespace {

// The same reads hold in the store that wrote the values and in a new one over its file.
void expectStoredValues(const QSettingsPrefsStore& prefs) {
    EXPECT_EQ(prefs.text("name"), "Zoë's party ♪");
    EXPECT_EQ(prefs.integer("delayMs"), -120);
    EXPECT_EQ(prefs.real("third"), 1.0 / 3.0);
    EXPECT_EQ(prefs.integer("third"), std::nullopt);
    EXPECT_EQ(prefs.integer("whole"), 2);
    EXPECT_EQ(prefs.integer("big"), std::numeric_limits<int64_t>::min());
    EXPECT_EQ(prefs.text("gone"), std::nullopt);
}

TEST(QSettingsPrefsStoreTest, ValuesReadBackExactlyAndTypedAfterARestart) {
    const TempFolder folder;
    {
        QSettingsPrefsStore prefs(folder.path() / "prefs.conf");
        prefs.setText("name", "Zoë's party ♪");
        prefs.setInteger("delayMs", -120);
        prefs.setReal("third", 1.0 / 3.0);
        prefs.setReal("whole", 2.0);
        prefs.setInteger("big", std::numeric_limits<int64_t>::min());
        prefs.setText("gone", "soon");
        prefs.remove("gone");
        expectStoredValues(prefs);
    }
    expectStoredValues(QSettingsPrefsStore(folder.path() / "prefs.conf"));
}

// Only text that is wholly a number reads as one.
TEST(QSettingsPrefsStoreTest, ParsesOnlyWholeNumbers) {
    for (const char* text : {"9223372036854775808", " 1", "1.0", "+5", "12x"}) {
        EXPECT_EQ(QSettingsPrefsStore::parseInteger(text), std::nullopt) << text;
    }
    for (const char* text : {"inf", "nan", "1e400", "0x10", "12x"}) {
        EXPECT_EQ(QSettingsPrefsStore::parseReal(text), std::nullopt) << text;
    }
}

} // namespace
} // namespace merriphonic::test
