#include "platform/qt/qsettings_prefs_store.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>

namespace merriphonic {
namespace {

class QSettingsPrefsStoreTest : public ::testing::Test {
protected:
    std::filesystem::path file() const {
        return std::filesystem::path(folder_.path().toStdString()) / "prefs.conf";
    }

private:
    QTemporaryDir folder_;
};

// The same reads hold in the store that wrote the values and in a new one over its file.
void expectStoredValues(const QSettingsPrefsStore& prefs) {
    EXPECT_EQ(prefs.text("name"), "Zoë's party ♪");
    EXPECT_EQ(prefs.integer("name"), std::nullopt);
    EXPECT_EQ(prefs.real("name"), std::nullopt);

    EXPECT_EQ(prefs.integer("delayMs"), -120);
    EXPECT_EQ(prefs.real("delayMs"), -120.0);
    EXPECT_EQ(prefs.text("delayMs"), "-120");

    EXPECT_EQ(prefs.real("groupVolume"), 0.1);
    EXPECT_EQ(prefs.real("third"), 1.0 / 3.0);
    EXPECT_EQ(prefs.integer("groupVolume"), std::nullopt);
    EXPECT_EQ(prefs.integer("whole"), 2);

    EXPECT_EQ(prefs.integer("big"), std::numeric_limits<int64_t>::min());
    EXPECT_EQ(prefs.text("absent"), std::nullopt);
    EXPECT_EQ(prefs.integer("absent"), std::nullopt);
    EXPECT_EQ(prefs.real("absent"), std::nullopt);
}

TEST_F(QSettingsPrefsStoreTest, ValuesReadBackExactlyAndTypedAfterARestart) {
    {
        QSettingsPrefsStore prefs(file());
        prefs.setText("name", "Zoë's party ♪");
        prefs.setInteger("delayMs", -120);
        prefs.setReal("groupVolume", 0.1);
        prefs.setReal("third", 1.0 / 3.0);
        prefs.setReal("whole", 2.0);
        prefs.setInteger("big", std::numeric_limits<int64_t>::min());
        prefs.setText("gone", "soon");
        prefs.remove("gone");
        expectStoredValues(prefs);
        EXPECT_EQ(prefs.text("gone"), std::nullopt);
    }
    const QSettingsPrefsStore reopened(file());
    expectStoredValues(reopened);
    EXPECT_EQ(reopened.text("gone"), std::nullopt);
}

TEST_F(QSettingsPrefsStoreTest, TextThatIsNotWhollyANumberDoesNotReadAsOne) {
    {
        std::ofstream out(file());
        out << "[General]\n"
               "suffix=12x\n"
               "plus=+5\n"
               "exponent=1e3\n"
               "nan=nan\n"
               "huge=99999999999999999999\n"
               "empty=\n"
               "list=a, b\n";
    }
    const QSettingsPrefsStore prefs(file());
    EXPECT_EQ(prefs.integer("suffix"), std::nullopt);
    EXPECT_EQ(prefs.real("suffix"), std::nullopt);
    EXPECT_EQ(prefs.integer("plus"), std::nullopt);
    EXPECT_EQ(prefs.integer("exponent"), std::nullopt);
    EXPECT_EQ(prefs.real("exponent"), 1000.0);
    EXPECT_EQ(prefs.real("nan"), std::nullopt);
    EXPECT_EQ(prefs.integer("huge"), std::nullopt);
    EXPECT_EQ(prefs.real("huge"), 1e20);
    EXPECT_EQ(prefs.text("empty"), "");
    EXPECT_EQ(prefs.integer("empty"), std::nullopt);
    EXPECT_EQ(prefs.text("list"), std::nullopt);
}

TEST(QSettingsPrefsStoreParseTest, IntegersAndRealsParseWholeTextsOnly) {
    EXPECT_EQ(QSettingsPrefsStore::parseInteger("9223372036854775807"),
              std::numeric_limits<int64_t>::max());
    EXPECT_EQ(QSettingsPrefsStore::parseInteger("9223372036854775808"), std::nullopt);
    EXPECT_EQ(QSettingsPrefsStore::parseInteger(" 1"), std::nullopt);
    EXPECT_EQ(QSettingsPrefsStore::parseInteger("1.0"), std::nullopt);
    EXPECT_EQ(QSettingsPrefsStore::parseReal("-0.25"), -0.25);
    EXPECT_EQ(QSettingsPrefsStore::parseReal("inf"), std::nullopt);
    EXPECT_EQ(QSettingsPrefsStore::parseReal("1e400"), std::nullopt);
    EXPECT_EQ(QSettingsPrefsStore::parseReal("0x10"), std::nullopt);
}

} // namespace
} // namespace merriphonic
