#include "platform/qt/qsettings_prefs_store.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <limits>

#include "tests/support/qt_test_support.h"

namespace merriphonic::test {
namespace {

// The same reads hold in the store that wrote the values and in a new one over its file.
void expectStoredValues(const QSettingsPrefsStore& prefs) {
    EXPECT_EQ(prefs.text("name"), "Zoë's party ♪");
    EXPECT_EQ(prefs.integer("name"), std::nullopt);
    EXPECT_EQ(prefs.integer("delayMs"), -120);
    EXPECT_EQ(prefs.real("delayMs"), -120.0);
    EXPECT_EQ(prefs.text("delayMs"), "-120");
    EXPECT_EQ(prefs.real("groupVolume"), 0.1);
    EXPECT_EQ(prefs.real("third"), 1.0 / 3.0);
    EXPECT_EQ(prefs.integer("groupVolume"), std::nullopt);
    EXPECT_EQ(prefs.integer("whole"), 2);
    EXPECT_EQ(prefs.integer("big"), std::numeric_limits<int64_t>::min());
    EXPECT_EQ(prefs.text("gone"), std::nullopt);
    EXPECT_EQ(prefs.real("absent"), std::nullopt);
}

TEST(QSettingsPrefsStoreTest, ValuesReadBackExactlyAndTypedAfterARestart) {
    const TempFolder folder;
    {
        QSettingsPrefsStore prefs(folder.path() / "prefs.conf");
        prefs.setText("name", "Zoë's party ♪");
        prefs.setInteger("delayMs", -120);
        prefs.setReal("groupVolume", 0.1);
        prefs.setReal("third", 1.0 / 3.0);
        prefs.setReal("whole", 2.0);
        prefs.setInteger("big", std::numeric_limits<int64_t>::min());
        prefs.setText("gone", "soon");
        prefs.remove("gone");
        expectStoredValues(prefs);
    }
    expectStoredValues(QSettingsPrefsStore(folder.path() / "prefs.conf"));
}

TEST(QSettingsPrefsStoreTest, OnlyTextThatIsWhollyANumberReadsAsOne) {
    const TempFolder folder;
    std::ofstream(folder.path() / "prefs.conf") << "[General]\nsuffix=12x\nexponent=1e3\n"
                                                   "huge=99999999999999999999\nempty=\nlist=a, b\n";
    const QSettingsPrefsStore prefs(folder.path() / "prefs.conf");
    EXPECT_EQ(prefs.real("suffix"), std::nullopt);
    EXPECT_EQ(prefs.integer("exponent"), std::nullopt);
    EXPECT_EQ(prefs.real("exponent"), 1000.0);
    EXPECT_EQ(prefs.integer("huge"), std::nullopt);
    EXPECT_EQ(prefs.real("huge"), 1e20);
    EXPECT_EQ(prefs.text("empty"), "");
    EXPECT_EQ(prefs.integer("empty"), std::nullopt);
    EXPECT_EQ(prefs.text("list"), std::nullopt);

    const std::optional<int64_t> noInteger;
    const std::optional<double> noReal;
    EXPECT_EQ(QSettingsPrefsStore::parseInteger("9223372036854775807"),
              std::numeric_limits<int64_t>::max());
    for (const char* text : {"9223372036854775808", " 1", "1.0", "+5", "12x"}) {
        EXPECT_EQ(QSettingsPrefsStore::parseInteger(text), noInteger) << text;
    }
    EXPECT_EQ(QSettingsPrefsStore::parseReal("-0.25"), -0.25);
    for (const char* text : {"inf", "nan", "1e400", "0x10", "12x"}) {
        EXPECT_EQ(QSettingsPrefsStore::parseReal(text), noReal) << text;
    }
}

} // namespace
} // namespace merriphonic::test
