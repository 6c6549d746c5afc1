#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QUrl>

#include <algorithm>
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
        EXPECT_TRUE(host.shows("Merriphonic"));
        EXPECT_TRUE(host.shows("Play one song on every device — no Wi-Fi."));
        EXPECT_TRUE(host.shows(
            "Hosts send songs over Bluetooth to up to 7 speakers — iPhone, Mac or Android."));

        // Denied: still home, with the banner; allowed: the banner goes, the party opens.
        hostDevice.access.answer = BluetoothAuthorization::denied;
        host.viewModel().setName(QStringLiteral(" Ann "));
        ASSERT_TRUE(host.click("Host a party"));
        EXPECT_EQ(host.viewModel().screen(), "home");
        EXPECT_TRUE(host.shows(AppModel::deniedMessage));
        ASSERT_TRUE(host.click("Open Settings"));
        EXPECT_EQ(hostDevice.access.settingsOpened, 1);
        hostDevice.access.answer = BluetoothAuthorization::allowed;
        ASSERT_TRUE(host.click("Host a party"));
        EXPECT_FALSE(host.shows(AppModel::deniedMessage));
        EXPECT_EQ(host.viewModel().screen(), "host");
        EXPECT_TRUE(host.shows("Ann's party"));
        ASSERT_TRUE(runScreensUntil(rig, [&] { return host.shows("Advertising…"); }));
        EXPECT_TRUE(host.shows("Speakers (0/7)"));
        EXPECT_TRUE(host.shows("Pick a song from your library"));
        EXPECT_TRUE(host.showsPrefix("No music yet. Click <b>Add music</b>"));

        // A song in the library, chosen by clicking its row.
        // What the picker hands over: a local file, and one that is not, which is logged.
        host.viewModel().host()->importFiles(
            {QUrl::fromLocalFile(
                 QString::fromStdString(AppRig::song(20.0, "Lanterns", "The Owls").string())),
             QUrl(QStringLiteral("https://example.org/song.mp3"))});
        EXPECT_EQ(hostDevice.device.logSink().count(
                      "file picker: not a local file: https://example.org/song.mp3"),
                  1U);
        ASSERT_TRUE(runScreensUntil(rig, [&] { return host.shows("0:20"); }));
        EXPECT_TRUE(host.shows("The Owls"));
        ASSERT_TRUE(host.click("Lanterns"));
        EXPECT_TRUE(host.viewModel().host()->hasSong());

        // The speaker finds the party, joins it and follows the song.
        ASSERT_TRUE(speaker.click("Join as speaker"));
        EXPECT_EQ(speaker.viewModel().screen(), "join");
        EXPECT_TRUE(speaker.shows("Looking for parties nearby…"));
        ASSERT_TRUE(runScreensUntil(rig, [&] { return speaker.shows("Ann's party"); }));
        EXPECT_TRUE(speaker.shows("Click to join"));
        ASSERT_TRUE(speaker.click("Ann's party"));
        EXPECT_EQ(speaker.viewModel().screen(), "speaker");
        EXPECT_TRUE(speaker.shows("Connecting to Ann's party"));
        EXPECT_TRUE(speaker.shows("Opening a Bluetooth channel"));
        ASSERT_TRUE(
            runScreensUntil(rig, [&] { return speaker.shows("Connected to Ann's party"); }));
        EXPECT_TRUE(speaker.showsPrefix("Sync ±"));
        EXPECT_TRUE(speaker.shows("Now playing"));
        EXPECT_TRUE(speaker.shows("Sounds late? (e.g. Bluetooth speaker) → move right. Sounds "
                                  "early → move left."));
        ASSERT_TRUE(runScreensUntil(rig, [&] { return speaker.shows("Playing"); }));
        EXPECT_TRUE(speaker.shows("Lanterns"));
        EXPECT_TRUE(speaker.shows("The Owls"));
        EXPECT_TRUE(host.shows("Speakers (1/7)"));
        EXPECT_TRUE(host.shows(QString::fromStdString(Prefs::computerName())) || host.shows("den"));
        EXPECT_TRUE(host.viewModel().host()->playing());

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
        host.access.answer = BluetoothAuthorization::restricted;
        screen.click("Join as speaker");
        screen.grab(folder / "home-restricted.png");
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
    denScreen.grab(folder / "join-looking.png");
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
    for (int i = 1; i < 7; ++i) {
        AppDevice& device =
            rig.add("spk" + std::to_string(i), SimPosition{1.0 + i, static_cast<double>(i % 3)});
        device.device.prefs().setText(
            Prefs::nameKey,
            std::vector<std::string>{"", "Kitchen", "Studio", "Attic", "Porch", "Garage", "Hall"}
                .at(static_cast<size_t>(i)));
        speakers.push_back(&device);
    }
    denScreen.click("Cy's party"); // a party that has ended meanwhile
    runScreensUntil(
        rig, [&] { return !den.model().speaker()->phase()->is(Kind::connecting); },
        20 * nsPerSecond);
    denScreen.grab(folder / "speaker-failed.png");
    denScreen.click("Find another party");
    runScreensUntil(rig, [&] { return denScreen.shows("Ann's party"); });
    denScreen.click("Ann's party");
    denScreen.grab(folder / "speaker-connecting.png");
    // Three join before the song is chosen, the others while it is on its way, so that the
    // rows show every stage of joining and receiving.
    const auto join = [&](size_t i) {
        AppModel& model = speakers[i]->model();
        model.joinAsSpeaker();
        runScreensUntil(rig, [&] { return !model.speaker()->discovered()->empty(); });
        model.chooseHost(model.speaker()->discovered()->front());
    };
    for (size_t i = 1; i < 4; ++i) {
        join(i);
    }
    runScreensUntil(rig, [&] {
        return std::all_of(speakers.begin(), speakers.begin() + 4, [](AppDevice* device) {
            return device->model().speaker()->phase()->is(Kind::connected);
        });
    });
    speakers[2]->model().speaker()->setDelayMs(20);
    speakers[3]->model().speaker()->setDelayMs(-30);
    runScreensUntil(rig, [&] {
        const auto& tracks = host.model().library()->tracks.get();
        return tracks.size() == 3 && tracks.front().state == LibraryTrack::State::ready;
    });
    hostScreen.click("Long Summer");
    runScreensUntil(
        rig, [&] { return host.model().host()->sendProgress().get() > 0.25; }, 300 * nsPerSecond);
    const auto rowsReach = [&](size_t count) {
        runScreensUntil(rig, [&] { return host.model().host()->rows()->size() >= count; });
    };
    join(4);
    runScreensFor(rig, 3 * nsPerSecond);
    join(5);
    rowsReach(7);
    runScreensFor(rig, 400 * nsPerMs);
    join(6);
    rowsReach(8);
    hostScreen.grab(folder / "host.png");
    {
        ScreenApp tall(host, QSize(480, 1700));
        tall.grab(folder / "host-full.png");
    }
    hostScreen.click("End party");
    hostScreen.grab(folder / "host-end.png");
    hostScreen.click("Cancel");

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

    // Bluetooth off on a host; a speaker's scan with the radio off.
    host.radio->setState(RadioState::poweredOff);
    hostScreen.click("Host a party");
    runScreensFor(rig, nsPerSecond);
    hostScreen.grab(folder / "host-bluetooth-off.png");
    denScreen.click("Find another party");
    den.radio->setState(RadioState::unsupported);
    runScreensFor(rig, nsPerSecond);
    denScreen.grab(folder / "join-unsupported.png");
    EXPECT_TRUE(warnings.all().isEmpty()) << warnings.all().join('\n').toStdString();
}

} // namespace
} // namespace merriphonic::test
