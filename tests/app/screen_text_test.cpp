#include "app/screen_text.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

namespace merriphonic::test {
namespace {

using Phase = HostPeripheral::Phase;

TEST(ScreenTextTest, numbersOnScreen) {
    // The delay slider rounds to the nearest 10 ms, halves away from zero.
    EXPECT_EQ(ScreenText::roundedDelayMs(123), 120);
    EXPECT_EQ(ScreenText::roundedDelayMs(125), 130);
    EXPECT_EQ(ScreenText::roundedDelayMs(-125), -130);

    // Four bars down to -60 dBm, one fewer for every 10 dB below, none under -90.
    const std::array rssis{-30, -60, -61, -70, -71, -80, -81, -90, -91, -127};
    const std::array bars{4, 4, 3, 3, 2, 2, 1, 1, 0, 0};
    for (size_t i = 0; i < rssis.size(); ++i) {
        EXPECT_EQ(ScreenText::signalBars(rssis[i]), bars[i]) << rssis[i];
    }
    EXPECT_EQ(ScreenText::signalLabel(-61), "Signal 3 of 4");

    EXPECT_EQ(ScreenText::time(59'999), "0:59");
    EXPECT_EQ(ScreenText::time(754'000), "12:34");

    EXPECT_EQ(ScreenText::syncBadge(2.44), "Sync ±2.4ms");
    EXPECT_FALSE(ScreenText::syncBadgeWarns(14.99));
    EXPECT_TRUE(ScreenText::syncBadgeWarns(15.0));

    EXPECT_EQ(ScreenText::delayText(-30), "delay -30 ms");
    EXPECT_EQ(ScreenText::delayText(20), "delay +20 ms");
    EXPECT_EQ(ScreenText::roundTripText(12.4), "12 ms");
    EXPECT_EQ(ScreenText::roundTripText(0.14), "0.1 ms");
}

TEST(ScreenTextTest, statesInWords) {
    const RadioState on = RadioState::poweredOn;
    EXPECT_EQ(ScreenText::hostHeader(Phase::idle(), on), "Starting Bluetooth…");
    for (RadioState bad :
         {RadioState::unsupported, RadioState::unauthorized, RadioState::poweredOff}) {
        EXPECT_EQ(ScreenText::hostHeader(Phase::starting(), bad), "Bluetooth unavailable");
        EXPECT_EQ(ScreenText::hostHeader(Phase::idle(), bad), "Bluetooth unavailable");
        EXPECT_TRUE(ScreenText::bluetoothBanner(bad));
    }
    EXPECT_EQ(ScreenText::hostHeader(Phase::advertising(), on), "Advertising…");
    EXPECT_EQ(ScreenText::hostHeader(Phase::failed("Couldn't advertise: busy"), on), "Not visible");

    EXPECT_EQ(ScreenText::bluetoothBanner(RadioState::unauthorized),
              "Merriphonic isn't allowed to use Bluetooth. Allow it in Settings.");
    EXPECT_FALSE(ScreenText::bluetoothBanner(RadioState::poweredOn));

    EXPECT_EQ(ScreenText::platformIcon("linux"), "laptop");
    EXPECT_EQ(ScreenText::platformIcon("toaster"), "speaker");

    EXPECT_EQ(ScreenText::speakerStatus(SpeakerState::syncing, 0), "Syncing clock…");
    EXPECT_EQ(ScreenText::speakerStatus(SpeakerState::loading, 42), "Receiving song 42%");
    EXPECT_EQ(ScreenText::connectingSubtitle(SpeakerSession::Phase::Kind::connecting),
              "Opening a Bluetooth channel");
}

TEST(ScreenTextTest, onlyWholeReadyEntriesAreSelectable) {
    LibraryTrack ready;
    ready.state = LibraryTrack::State::ready;
    ready.wireFile = "A.wire.m4a";
    ready.trackKey = "0011223344556677";
    ready.size = 1000;
    EXPECT_TRUE(ScreenText::isSelectable(ready));

    LibraryTrack preparing = ready;
    preparing.state = LibraryTrack::State::preparing;
    LibraryTrack noKey = ready;
    noKey.trackKey.reset();
    for (const LibraryTrack& entry : {preparing, noKey}) {
        EXPECT_FALSE(ScreenText::isSelectable(entry));
    }
}

} // namespace
} // namespace merriphonic::test
