#include "app/app_model.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/system_bluetooth_access.h"
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
    EXPECT_FALSE(Prefs::computerName().empty());
    EXPECT_EQ(Prefs::groupVolume(store), 1.0);
    EXPECT_EQ(Prefs::localVolume(store), 1.0);
    EXPECT_EQ(Prefs::delayMs(store), 0);

    // A value of the wrong type reads as the default.
    store.setText(Prefs::groupVolumeKey, "loud");
    store.setText(Prefs::localVolumeKey, "");
    EXPECT_EQ(Prefs::groupVolume(store), 1.0);
    EXPECT_EQ(Prefs::localVolume(store), 1.0);

    // The delay is clamped on the way in, whoever writes it.
    Prefs::setDelayMs(store, 900);
    EXPECT_EQ(store.integer(Prefs::delayMsKey), 500);
    Prefs::setDelayMs(store, -350);
    EXPECT_EQ(store.integer(Prefs::delayMsKey), -200);
    device.model().host()->setDelayMs(720);
    EXPECT_EQ(Prefs::delayMs(store), 500);
    device.model().speaker()->setDelayMs(-999);
    EXPECT_EQ(Prefs::delayMs(store), -200);

    // The identifier is made once, in lower case, and then only read.
    store.remove(Prefs::deviceIdKey);
    const std::string id = Prefs::deviceId(store);
    EXPECT_EQ(id.size(), 36U);
    EXPECT_TRUE(std::none_of(id.begin(), id.end(), [](char c) { return std::isupper(c) != 0; }));
    EXPECT_EQ(store.text(Prefs::deviceIdKey), id);
    EXPECT_EQ(Prefs::deviceId(store), id);

    // Every change of the typed name is stored as typed; the shown name is trimmed, and a blank
    // one falls back to the computer's name.
    AppModel& model = device.model();
    model.setName("  Ann \n");
    EXPECT_EQ(Prefs::name(store), "  Ann \n");
    EXPECT_EQ(model.displayName(), "Ann");
    model.setName(" \t ");
    EXPECT_EQ(model.displayName(), Prefs::computerName());
    EXPECT_EQ(Prefs::displayName(std::string_view("\r\n")), Prefs::computerName());
}

// One host, one speaker, through every screen transition and back.
TEST(AppModelTest, screensFollowTheActionsAndThePartiesReuseTheSessions) {
    AppRig rig;
    AppDevice& host = rig.add("host");
    AppDevice& speaker = rig.add("den");
    AppModel& hostModel = host.model();
    AppModel& speakerModel = speaker.model();
    const auto* const hostSession = hostModel.host().get();
    const auto* const speakerSession = speakerModel.speaker().get();
    EXPECT_EQ(hostModel.screen().get(), Screen::home);
    EXPECT_FALSE(hostModel.permissionMessage().get());

    // Denied: the host button stays home, with the message, before any session is touched.
    host.access.answer = BluetoothAuthorization::denied;
    hostModel.setName("   ");
    hostModel.hostParty();
    EXPECT_EQ(hostModel.screen().get(), Screen::home);
    EXPECT_EQ(hostModel.permissionMessage().get(), std::string(AppModel::deniedMessage));
    EXPECT_FALSE(hostModel.host()->isRunning().get());
    EXPECT_EQ(Prefs::name(host.device.prefs()), "   ");
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
    EXPECT_EQ(Prefs::name(speaker.device.prefs()), "Den");
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

    // A later party runs on the same sessions.
    hostModel.hostParty();
    EXPECT_EQ(hostModel.screen().get(), Screen::host);
    EXPECT_EQ(hostModel.host().get(), hostSession);
    EXPECT_EQ(speakerModel.speaker().get(), speakerSession);
    hostModel.endParty();
}

} // namespace
} // namespace merriphonic::test

namespace merriphonic::test {
namespace {

// What a Linux desktop says about Bluetooth access: every radio hard-blocked is restricted, a
// refusal on the bus is denied, anything else is for the radio to report.
TEST(SystemBluetoothAccessTest, rfkillAndBusAnswers) {
    AppRig rig;
    const std::filesystem::path folder = rig.add("host").device.folders().temp / "rfkill";
    const auto radio = [&](const std::string& name, const std::string& type,
                           const std::string& hard) {
        std::filesystem::create_directories(folder / name);
        std::ofstream(folder / name / "type") << type << "\n";
        std::ofstream(folder / name / "hard") << hard << "\n";
    };
    EXPECT_FALSE(SystemBluetoothAccess::hardBlocked(folder / "absent"));
    radio("rfkill0", "wlan", "1");
    EXPECT_FALSE(SystemBluetoothAccess::hardBlocked(folder)) << "no Bluetooth radio";
    radio("rfkill1", "bluetooth", "1");
    EXPECT_TRUE(SystemBluetoothAccess::hardBlocked(folder));
    radio("rfkill2", "bluetooth", "0");
    EXPECT_FALSE(SystemBluetoothAccess::hardBlocked(folder)) << "one radio is free";

    EXPECT_EQ(SystemBluetoothAccess::fromBusError("org.freedesktop.DBus.Error.AccessDenied"),
              BluetoothAuthorization::denied);
    EXPECT_EQ(SystemBluetoothAccess::fromBusError("org.freedesktop.DBus.Error.ServiceUnknown"),
              BluetoothAuthorization::notDetermined);
    ASSERT_EQ(SystemBluetoothAccess::settingsCommands().size(), 3U);
    EXPECT_EQ(SystemBluetoothAccess::settingsCommands().front(),
              (SystemBluetoothAccess::SettingsCommand{"gnome-control-center", {"bluetooth"}}));
}

} // namespace
} // namespace merriphonic::test
