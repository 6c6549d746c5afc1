#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QUrl>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "core/time_units.h"
#include "tests/app/screen_rig.h"

namespace merriphonic::test {
namespace {

using Kind = SpeakerSession::Phase::Kind;

// Home → host and home → join → speaker, read and pressed on the screens themselves, with the
// sessions running in virtual time behind them.
TEST(ScreensTest, hostAndSpeakerThroughTheirScreens) {
    const QtWarnings warnings;
    AppRig rig;
    AppDevice& hostDevice = rig.add("host");
    AppDevice& speakerDevice = rig.add("den");
    {
        ScreenApp host(hostDevice);
        ScreenApp speaker(speakerDevice);
        ASSERT_NE(host.window(), nullptr);

        // Denied: still home, with the banner that leads to the settings.
        hostDevice.access.answer = BluetoothAuthorization::denied;
        host.viewModel().setName(QStringLiteral(" Ann "));
        ASSERT_TRUE(host.click("Host a party"));
        ASSERT_TRUE(host.click("Open Settings"));
        EXPECT_EQ(hostDevice.access.settingsOpened, 1);
        hostDevice.access.answer = BluetoothAuthorization::allowed;
        ASSERT_TRUE(host.click("Host a party"));
        EXPECT_EQ(host.viewModel().screen(), "host");
        EXPECT_TRUE(host.shows("Ann's party"));
        ASSERT_TRUE(runScreensUntil(rig, [&] { return host.shows("Advertising…"); }));

        // A song in the library, chosen by clicking its row.
        host.viewModel().host()->importFiles({QUrl::fromLocalFile(
            QString::fromStdString(AppRig::song(20.0, "Lanterns", "The Owls").string()))});
        ASSERT_TRUE(runScreensUntil(rig, [&] { return host.shows("0:20"); }));
        ASSERT_TRUE(host.click("Lanterns"));
        EXPECT_TRUE(host.viewModel().host()->hasSong());

        // The speaker finds the party, joins it and follows the song.
        ASSERT_TRUE(speaker.click("Join as speaker"));
        ASSERT_TRUE(runScreensUntil(rig, [&] { return speaker.shows("Ann's party"); }));
        ASSERT_TRUE(speaker.click("Ann's party"));
        ASSERT_TRUE(
            runScreensUntil(rig, [&] { return speaker.shows("Connected to Ann's party"); }));
        ASSERT_TRUE(runScreensUntil(rig, [&] { return speaker.shows("Playing"); }));
        EXPECT_TRUE(speaker.shows("Lanterns"));
        EXPECT_TRUE(host.shows("Speakers (1/7)"));

        // The speaker's delay: moved on its slider, rounded, shown on the host's row.
        speaker.viewModel().speaker()->setDelayMs(123);
        EXPECT_TRUE(speaker.shows("120 ms"));
        ASSERT_TRUE(runScreensUntil(rig, [&] { return host.shows("delay +120 ms"); }));
        ASSERT_TRUE(speaker.click("Reset"));
        EXPECT_EQ(speakerDevice.model().speaker()->delayMs().get(), 0);

        // The host ends the party after confirming; the speaker is left with a problem card.
        ASSERT_TRUE(host.click("End party"));
        EXPECT_TRUE(host.shows("End the party for everyone?"));
        ASSERT_TRUE(host.click("End party"));
        EXPECT_EQ(host.viewModel().screen(), "home");
        ASSERT_TRUE(runScreensUntil(
            rig, [&] { return speakerDevice.model().speaker()->phase()->is(Kind::disconnected); }));
        EXPECT_TRUE(speaker.shows("Rejoin"));
        ASSERT_TRUE(speaker.click("Find another party"));
        EXPECT_EQ(speaker.viewModel().screen(), "join");
        ASSERT_TRUE(speaker.click("Back"));
        EXPECT_EQ(speaker.viewModel().screen(), "home");
    }
    settle();
    EXPECT_TRUE(warnings.all().isEmpty()) << warnings.all().join('\n').toStdString();
}

// Every screen in representative states, written as PNG files into the folder named by
// MERRIPHONIC_SCREENSHOTS (`make screenshots` runs it under Xvfb).
TEST(ScreensTest, screenshots) {
    const char* folderName = std::getenv("MERRIPHONIC_SCREENSHOTS");
    if (folderName == nullptr) {
        GTEST_SKIP() << "MERRIPHONIC_SCREENSHOTS names no folder";
    }
    const std::filesystem::path folder(folderName);
    std::filesystem::create_directories(folder);
    const QtWarnings warnings;
    AppRig rig;

    // Home, plain and with the permission banner.
    AppDevice& host = rig.add("host", SimPosition{0, 0});
    host.device.prefs().setText(Prefs::nameKey, "Ann");
    {
        ScreenApp screen(host);
        screen.grab(folder / "home.png");
        host.access.answer = BluetoothAuthorization::denied;
        screen.click("Host a party");
        screen.grab(folder / "home-permission.png");
        host.access.answer = BluetoothAuthorization::allowed;
    }

    // Join with three parties nearby, at different distances.
    AppDevice& bo = rig.add("bo", SimPosition{9, 0});
    AppDevice& cy = rig.add("cy", SimPosition{0, 25});
    bo.device.prefs().setText(Prefs::nameKey, "Bo");
    cy.device.prefs().setText(Prefs::nameKey, "Cy");
    AppDevice& den = rig.add("den", SimPosition{2, 1});
    den.device.prefs().setText(Prefs::nameKey, "Den");
    ScreenApp hostScreen(host, QSize(480, 820));
    ScreenApp denScreen(den);
    hostScreen.click("Host a party");
    bo.model().hostParty();
    cy.model().hostParty();
    denScreen.click("Join as speaker");
    runScreensUntil(rig, [&] { return denScreen.viewModel().speaker()->hosts()->count() >= 3; });
    runScreensFor(rig, 3 * nsPerSecond);
    denScreen.grab(folder / "join.png");
    bo.model().endParty();
    cy.model().endParty();

    // The host with seven speakers and a song on its way to them.
    host.model().library()->importFiles({AppRig::song(240.0, "Long Summer", "Ada Wren"),
                                         AppRig::song(20.0, "Lanterns", "The Owls"),
                                         AppRig::song(15.0, "Paper Boats", "")});
    std::vector<AppDevice*> speakers{&den};
    for (const char* name : {"Kitchen", "Studio", "Attic", "Porch", "Garage", "Hall"}) {
        const auto i = static_cast<double>(speakers.size());
        speakers.push_back(&rig.add(name, SimPosition{1.0 + i, std::fmod(i, 3.0)}));
        speakers.back()->device.prefs().setText(Prefs::nameKey, name);
    }
    runScreensUntil(rig, [&] { return denScreen.shows("Ann's party"); });
    denScreen.click("Ann's party");
    denScreen.grab(folder / "speaker-connecting.png");
    for (size_t i = 1; i < speakers.size(); ++i) {
        AppModel& model = speakers[i]->model();
        model.joinAsSpeaker();
        runScreensUntil(rig, [&] { return !model.speaker()->discovered()->empty(); });
        model.chooseHost(model.speaker()->discovered()->front());
    }
    speakers[2]->model().speaker()->setDelayMs(20);
    speakers[3]->model().speaker()->setDelayMs(-30);
    runScreensUntil(rig, [&] {
        const auto& tracks = host.model().library()->tracks.get();
        return tracks.size() == 3 && tracks.front().state == LibraryTrack::State::ready;
    });
    hostScreen.click("Long Summer");
    runScreensUntil(
        rig, [&] { return host.model().host()->sendProgress().get() > 0.25; }, 300 * nsPerSecond);
    hostScreen.grab(folder / "host.png");

    // The speaker playing.
    // Once every speaker has the song, and the clock estimate has had 30 s of quiet samples.
    runScreensUntil(
        rig, [&] { return den.model().speaker()->state().get() == SpeakerState::playing; },
        300 * nsPerSecond);
    runScreensFor(rig, 35 * nsPerSecond);
    denScreen.grab(folder / "speaker.png");

    // The party ends under the speaker.
    hostScreen.click("End party");
    hostScreen.click("End party");
    runScreensUntil(rig, [&] { return den.model().speaker()->phase()->is(Kind::disconnected); });
    denScreen.grab(folder / "speaker-disconnected.png");

    // Bluetooth off on a host.
    host.radio->setState(RadioState::poweredOff);
    hostScreen.click("Host a party");
    runScreensFor(rig, nsPerSecond);
    hostScreen.grab(folder / "host-bluetooth-off.png");
    EXPECT_TRUE(warnings.all().isEmpty()) << warnings.all().join('\n').toStdString();
}

} // namespace
} // namespace merriphonic::test
