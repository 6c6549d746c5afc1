#include "app/app_model.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/prefs.h"
#include "tests/app/app_rig.h"

namespace merriphonic::test {
namespace {

using Screen = AppModel::Screen;
using Kind = SpeakerSession::Phase::Kind;

TEST(PrefsTest, defaultsClampingAndTheOneDeviceId) {
    AppRig rig;
    AppDevice& device = rig.add("host");
    MemoryPrefsStore& store = device.device.prefs();

    // Nothing stored: the computer's name, full volumes, no delay.
    EXPECT_FALSE(Prefs::name(store));
    EXPECT_EQ(device.model().name().get(), Prefs::computerName());
    EXPECT_EQ(Prefs::groupVolume(store), 1.0);
    EXPECT_EQ(Prefs::localVolume(store), 1.0);
    EXPECT_EQ(Prefs::delayMs(store), 0);

    // A value of the wrong type reads as the default.
    store.setText(Prefs::groupVolumeKey, "loud");
    EXPECT_EQ(Prefs::groupVolume(store), 1.0);

    // The delay is clamped on the way in, whoever writes it.
    Prefs::setDelayMs(store, 900);
    EXPECT_EQ(store.integer(Prefs::delayMsKey), 500);
    device.model().speaker()->setDelayMs(-999);
    EXPECT_EQ(Prefs::delayMs(store), -200);

    // The identifier is made once and then only read.
    const std::string id = Prefs::deviceId(store);
    EXPECT_EQ(Prefs::deviceId(store), id);

    // Every change of the typed name is stored as typed; the shown name is trimmed, and a blank
    // one falls back to the computer's name.
    AppModel& model = device.model();
    model.setName("  Ann \n");
    EXPECT_EQ(Prefs::name(store), "  Ann \n");
    EXPECT_EQ(model.displayName(), "Ann");
}

// One host, one speaker, through every screen transition and back.
TEST(AppModelTest, screensFollowTheActions) {
    AppRig rig;
    AppDevice& host = rig.add("host");
    AppDevice& speaker = rig.add("den");
    AppModel& hostModel = host.model();
    AppModel& speakerModel = speaker.model();

    // Denied: the host button stays home, with the message, before any session is touched.
    host.access.answer = BluetoothAuthorization::denied;
    hostModel.setName("   ");
    hostModel.hostParty();
    EXPECT_EQ(hostModel.screen().get(), Screen::home);
    EXPECT_EQ(hostModel.permissionMessage().get(), std::string(AppModel::deniedMessage));
    EXPECT_FALSE(hostModel.host()->isRunning().get());
    host.access.answer = BluetoothAuthorization::restricted;
    hostModel.joinAsSpeaker();
    EXPECT_EQ(hostModel.screen().get(), Screen::home);
    EXPECT_EQ(hostModel.permissionMessage().get(), std::string(AppModel::restrictedMessage));
    EXPECT_FALSE(hostModel.speaker()->phase()->is(Kind::scanning));
    hostModel.openSettings();
    EXPECT_EQ(host.access.settingsOpened, 1);

    // Allowed (or not asked yet): the message goes, the blank name becomes the computer's.
    host.access.answer = BluetoothAuthorization::notDetermined;
    hostModel.hostParty();
    EXPECT_FALSE(hostModel.permissionMessage().get());
    EXPECT_EQ(hostModel.screen().get(), Screen::host);
    EXPECT_EQ(hostModel.host()->partyName().get(), Prefs::computerName() + "'s party");
    EXPECT_EQ(Prefs::name(host.device.prefs()), Prefs::computerName());

    speakerModel.setName("Den ");
    speakerModel.joinAsSpeaker();
    EXPECT_EQ(speakerModel.screen().get(), Screen::join);
    ASSERT_TRUE(rig.runUntil([&] { return !speakerModel.speaker()->discovered()->empty(); }));
    speakerModel.chooseHost(speakerModel.speaker()->discovered()->front());
    EXPECT_EQ(speakerModel.screen().get(), Screen::speaker);
    ASSERT_TRUE(rig.runUntil([&] { return speakerModel.speaker()->phase()->is(Kind::connected); }));
    ASSERT_EQ(hostModel.host()->rows()->size(), 2U);
    EXPECT_EQ(hostModel.host()->rows()->back().name, "Den");

    // Find another party: BYE "left", scanning again, the host drops the row.
    speakerModel.backToScanner();
    EXPECT_EQ(speakerModel.screen().get(), Screen::join);
    EXPECT_TRUE(speakerModel.speaker()->phase()->is(Kind::scanning));
    ASSERT_TRUE(rig.runUntil([&] { return hostModel.host()->rows()->size() == 1; }));

    // Join again, then leave for good.
    ASSERT_TRUE(rig.runUntil([&] { return !speakerModel.speaker()->discovered()->empty(); }));
    speakerModel.chooseHost(speakerModel.speaker()->discovered()->front());
    ASSERT_TRUE(rig.runUntil([&] { return speakerModel.speaker()->phase()->is(Kind::connected); }));
    speakerModel.leaveSpeaker();
    EXPECT_EQ(speakerModel.screen().get(), Screen::home);
    EXPECT_TRUE(speakerModel.speaker()->phase()->is(Kind::idle));
    EXPECT_FALSE(speakerModel.speaker()->central().wantScan());
    ASSERT_TRUE(rig.runUntil([&] { return hostModel.host()->rows()->size() == 1; }));

    // Leaving the join screen without a party also goes home and stops the scan.
    speakerModel.joinAsSpeaker();
    speakerModel.leaveSpeaker();
    EXPECT_EQ(speakerModel.screen().get(), Screen::home);
    EXPECT_FALSE(speakerModel.speaker()->central().wantScan());

    hostModel.endParty();
    EXPECT_EQ(hostModel.screen().get(), Screen::home);
    EXPECT_FALSE(hostModel.host()->isRunning().get());
}

} // namespace
} // namespace merriphonic::test
