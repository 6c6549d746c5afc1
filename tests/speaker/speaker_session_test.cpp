// A speaker session against a host played by the test: clock bursts, commands and the
// reported state, the end of a party; how songs are received (offers answered with what the
// cache holds, chunks in order, early TRACK_DONEs, verification and its retries, the cache
// across sessions); a host that misbehaves, which costs nothing of what arrived before and
// leaves nothing outside the cache folder; and discovery over the simulated air. (How the
// speakers sound together, and hosts lost mid-transfer, are the party scenarios' part.)
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include "core/sync_protocol.h"
#include "core/text_limits.h"
#include "core/time_units.h"
#include "platform/prefs.h"
#include "platform/sim/sim_air.h"
#include "speaker/track_cache.h"
#include "tests/speaker/session_rig.h"
#include "transport/host_peripheral.h"

namespace merriphonic::speaker_test {
namespace {

namespace fs = std::filesystem;

class SpeakerSessionTest : public ::testing::Test {
protected:
    SpeakerSessionTest() {
        rig.speaker.prefs().setText("name", "  Den  ");
        rig.connect();
    }
    void expectState(SpeakerState state) {
        rig.run(0.1);
        EXPECT_EQ(*rig.session->state(), state);
    }

    SessionRig rig;
    Bytes song = fileBytes(testmedia::media().get("chirp.m4a"));
    std::string key = keyOf(song);
};

TEST_F(SpeakerSessionTest, SyncsPlaysOnTheTimelineAndFollowsTheHostsCommands) {
    EXPECT_EQ(*rig.session->phase(), SpeakerSession::Phase::syncing());
    rig.run(1.2);
    ASSERT_GE(rig.received.size(), 2u);
    EXPECT_EQ(*rig.received[0].as<Hello>(),
              (Hello{1, Prefs::deviceId(rig.speaker.prefs()), "Den", "linux"}));
    EXPECT_EQ(rig.received[1].as<Status>()->state, "syncing");
    // Twenty PINGs in the first second, then five every two seconds.
    EXPECT_EQ(rig.session->clock().samples().size(), 20u);
    EXPECT_EQ(*rig.session->phase(), SpeakerSession::Phase::connected());
    rig.run(2);
    EXPECT_EQ(rig.session->clock().samples().size(), 25u);
    EXPECT_EQ(*rig.session->partyName(), "Kitchen");

    rig.offer(key, int64_t(song.size()));
    rig.chunks(song, 0, int64_t(song.size()));
    rig.run(1);
    ASSERT_EQ(*rig.session->state(), SpeakerState::ready);
    EXPECT_EQ(rig.lastStatus()->bytes, int64_t(song.size()));
    EXPECT_EQ(*rig.session->title(), "Song");

    const Play play{key, rig.hostNowNs() + 1'500 * nsPerMs, 0};
    rig.send(play);
    rig.run(0.5);
    EXPECT_EQ(*rig.session->state(), SpeakerState::playing);
    EXPECT_EQ(rig.lastStatus()->state, "playing");
    const uint64_t generation = rig.session->player().generation();
    rig.send(play); // a repeat
    rig.send(Pause{"not hex", 10});
    rig.send(Play{"xyz", play.startAtHostNs, 0});
    rig.run(2);
    EXPECT_EQ(rig.session->player().generation(), generation);
    EXPECT_EQ(*rig.session->state(), SpeakerState::playing);
    EXPECT_NEAR(double(*rig.session->positionMs()), 1'000, 300);

    // The same PLAY counts again after a PAUSE, and after a STOP.
    rig.send(Pause{key, 1'000});
    expectState(SpeakerState::paused);
    EXPECT_EQ(*rig.session->positionMs(), 1'000);
    rig.send(play);
    expectState(SpeakerState::playing);
    rig.send(Stop{});
    expectState(SpeakerState::idle);
    rig.send(play);
    expectState(SpeakerState::playing);

    rig.send(Volume{1.7});
    rig.run(0.1);
    EXPECT_EQ(rig.session->groupVolume(), 1.0);
    rig.send(Volume{-0.2});
    rig.run(0.1);
    EXPECT_EQ(rig.session->player().nodeVolume(), 0.0F);
    rig.session->setDelayMs(800);
    EXPECT_EQ(*rig.session->delayMs(), 500);
    EXPECT_EQ(Prefs::delayMs(rig.speaker.prefs()), 500);
    rig.run(0.5);
    EXPECT_EQ(rig.lastStatus()->delayMs, 500);

    // After a BYE the speaker says nothing more.
    rig.send(Bye{});
    rig.run(0.5);
    const size_t sent = rig.received.size();
    rig.run(5);
    EXPECT_EQ(rig.received.size(), sent);
    EXPECT_EQ(rig.session->connection(), nullptr);
}

// A crowd of parties is listed strongest first up to the bound, names cut; a party no longer
// seen goes within 10 to 12 s; a join with the radio off fails clearly.
TEST(SpeakerDiscovery, PartiesComeAndGoAndAJoinWithTheRadioOffFailsClearly) {
    SimWorld world(5);
    SimAir air(world);
    SimDevice speakerDevice(world, "spk");
    SimRadio& radio = air.attach(speakerDevice, {0, 0});
    std::vector<std::unique_ptr<SimDevice>> hosts;
    std::vector<std::shared_ptr<HostPeripheral>> parties;
    const size_t crowd = SpeakerSession::maxDiscoveredHosts + 8;
    for (size_t i = 0; i < crowd; ++i) {
        hosts.push_back(std::make_unique<SimDevice>(world, "host" + std::to_string(i)));
        air.attach(*hosts.back(), {1.0 + 0.25 * static_cast<double>(i), 0});
        parties.push_back(HostPeripheral::create(hosts.back()->context()));
        parties.back()->start(std::string(400, 'a' + static_cast<char>(i % 26)));
    }
    auto session = SpeakerSession::create(speakerDevice.context());
    session->startScanning();
    world.runFor(3 * nsPerSecond);
    const std::vector<DiscoveredHost> listed = *session->discovered();
    EXPECT_EQ(listed.size(), SpeakerSession::maxDiscoveredHosts);
    for (size_t i = 0; i < listed.size(); ++i) {
        EXPECT_LE(listed[i].name.size(), TextLimits::maxNameBytes);
        EXPECT_TRUE(i == 0 || listed[i - 1].rssi >= listed[i].rssi);
    }

    for (auto& party : parties) {
        party->stop();
    }
    const int64_t lastSeenNs = world.nowNs();
    while (!session->discovered()->empty() && world.nowNs() - lastSeenNs < 20 * nsPerSecond) {
        world.runFor(100 * nsPerMs);
    }
    const int64_t goneAfterNs = world.nowNs() - lastSeenNs;
    EXPECT_GE(goneAfterNs, 10 * nsPerSecond);
    EXPECT_LE(goneAfterNs, 12 * nsPerSecond + 100 * nsPerMs);

    radio.setState(RadioState::poweredOff);
    world.runFor(100 * nsPerMs);
    session->join(listed.front());
    EXPECT_EQ(session->phase()->kind, SpeakerSession::Phase::Kind::failed);
    EXPECT_EQ(session->phase()->text, "Bluetooth is off. Turn it on to join a party.");
    session.reset();
    world.runFor(nsPerMs);
}

TEST_F(SpeakerSessionTest, ChunksInOrderEarlyDoneRetriesAndVerification) {
    rig.run(1.5);
    // Repeats and overlaps are taken, a gap and an overflow are not.
    const Bytes a = randomBytes(1'000, 1);
    const std::string ka = keyOf(a);
    rig.offer(ka, 1'000);
    rig.chunks(a, 0, 100, 100);
    rig.chunks(a, 100, 200, 100);
    rig.chunks(a, 100, 200, 100);
    rig.chunks(a, 150, 200, 50);
    rig.chunks(a, 300, 400, 100);
    rig.send(TrackChunk{TrackKey::of(ByteView(a)), 150, Bytes(900, 0)});
    rig.run(1.2);
    EXPECT_EQ(rig.haves(ka), std::vector<int64_t>{0});
    EXPECT_EQ(*rig.session->state(), SpeakerState::loading);
    EXPECT_EQ(rig.lastStatus()->bytes, 200);
    EXPECT_EQ(rig.lastStatus()->size, 1'000);
    EXPECT_EQ(*rig.session->loadingPercent(), 20);
    // The TRACK_DONE overtakes the last chunk, which comes within 3 s: no request.
    rig.chunks(a, 200, 900, 100);
    rig.send(TrackDone{TrackKey::of(ByteView(a))});
    rig.run(1);
    rig.chunks(a, 900, 1'000, 100);
    rig.run(4);
    EXPECT_EQ(rig.haves(ka), std::vector<int64_t>{0});
    EXPECT_TRUE(rig.isReady(ka));
    EXPECT_EQ(*rig.session->state(), SpeakerState::ready);
    EXPECT_EQ(rig.lastStatus()->bytes, 1'000);
    EXPECT_EQ(fileBytes(rig.cached(ka)), a);

    // Nothing after an early TRACK_DONE: three requests from the bytes held, then silence.
    const Bytes b = randomBytes(1'000, 2);
    const std::string kb = keyOf(b);
    rig.offer(kb, 1'000, "MP3");
    rig.chunks(b, 0, 900, 300);
    for (int i = 0; i < 4; ++i) {
        rig.send(TrackDone{TrackKey::of(ByteView(b))});
        rig.run(3.5);
    }
    EXPECT_EQ(rig.haves(kb), (std::vector<int64_t>{0, 900, 900, 900}));
    EXPECT_TRUE(fs::exists(rig.cached(kb, "mp3")));

    // Wrong bytes: the first mismatch asks again from 0, the second accepts the file.
    const Bytes c = randomBytes(5'000, 3);
    const std::string kc = keyOf(c);
    Bytes wrong = c;
    wrong[10] ^= 0xFF;
    rig.offer(kc, 5'000);
    rig.run(0.1);
    for (int i = 0; i < 2; ++i) {
        rig.chunks(wrong, 0, 5'000, 4096, TrackKey::of(ByteView(c)));
        rig.run(0.5);
        EXPECT_EQ(rig.isReady(kc), i == 1);
    }
    EXPECT_EQ(rig.haves(kc), (std::vector<int64_t>{0, 0}));

    // A song that needed a TRACK_DONE retry is still fetched again at its first mismatch.
    const Bytes f = randomBytes(1'000, 6);
    const std::string kf = keyOf(f);
    Bytes damaged = f;
    damaged[500] ^= 0xFF;
    rig.offer(kf, 1'000);
    rig.chunks(damaged, 0, 900, 900, TrackKey::of(ByteView(f)));
    rig.send(TrackDone{TrackKey::of(ByteView(f))});
    rig.run(3.5);
    rig.chunks(damaged, 900, 1'000, 100, TrackKey::of(ByteView(f)));
    rig.run(0.5);
    EXPECT_EQ(rig.haves(kf), (std::vector<int64_t>{0, 900, 0}));
    EXPECT_FALSE(rig.isReady(kf));

    // An empty song is ready at once; a chunk of a song never offered leaves no file; a chunk
    // of a ready song makes it check the file again.
    const std::string empty = keyOf(Bytes{});
    rig.offer(empty, 0);
    const Bytes d = randomBytes(300, 4);
    const std::string kd = keyOf(d);
    rig.chunks(d, 0, 300);
    rig.run(0.2);
    EXPECT_TRUE(rig.isReady(empty));
    EXPECT_FALSE(fs::exists(rig.cached(kd)));
    rig.offer(kd, 300);
    rig.run(0.1);
    rig.chunks(d, 0, 300);
    rig.run(0.2);
    const uint64_t hashes = rig.speaker.background().executedCount();
    rig.chunks(d, 200, 300);
    rig.run(0.2);
    EXPECT_EQ(rig.speaker.background().executedCount(), hashes + 1);
    EXPECT_TRUE(rig.isReady(kd));

    // A teardown in the middle of a transfer keeps what is ready and what is cached.
    const Bytes e = randomBytes(9'000, 5);
    const std::string ke = keyOf(e);
    rig.offer(ke, 9'000);
    rig.chunks(e, 0, 4'096);
    rig.run(0.2);
    rig.session->teardown();
    rig.chunks(e, 4'096, 9'000);
    rig.run(0.5);
    EXPECT_EQ(TrackCache::length(rig.cached(ke)), 4'096);
    EXPECT_TRUE(rig.isReady(ka));
    EXPECT_EQ(rig.session->connection(), nullptr);
}

// A song received whole, then all a host might send wrong; and the cache a later process finds.
TEST_F(SpeakerSessionTest, NothingAHostSendsLeavesTheCacheOrCostsTheSongsAlreadyThere) {
    rig.run(1.5);
    const fs::path root = rig.speaker.folders().cache.parent_path();
    const Bytes a = randomBytes(20'000, 1);
    const std::string ka = keyOf(a);
    rig.offer(ka, 20'000);
    rig.chunks(a, 0, 20'000);
    rig.run(1);
    ASSERT_TRUE(rig.isReady(ka));

    // PONGs the speaker never asked for, or answering one PING twice, count for nothing.
    const size_t samples = rig.session->clock().samples().size();
    for (uint32_t seq = 0; seq < 5'000; ++seq) {
        const int64_t hostNs = rig.hostNowNs();
        rig.send(Pong{seq % 50, rig.speaker.clock().nowNs() - nsPerMs, hostNs, hostNs});
    }
    rig.run(0.2);
    EXPECT_LE(rig.session->clock().samples().size(), samples + 5);

    // Songs too large to travel, or of a negative size; keys that are no keys; extensions
    // that are paths; chunks, TRACK_DONE and PLAY for songs never offered.
    const std::string huge = "00000000000000aa";
    for (const int64_t size : {SyncProtocol::maxTrackSize + 1, int64_t{1} << 40, int64_t{-1}}) {
        rig.offer(huge, size);
        rig.send(TrackChunk{*TrackKey::fromHex(huge), 0, Bytes(4096, 1)});
    }
    for (const char* key : {"../../../../tmp/evil", "0123456789abcde/", "0123456789abcdef/..", "",
                            "0123456789abcdeg"}) {
        rig.offer(key, 10);
    }
    const Bytes d = randomBytes(5'000, 2);
    const std::string kd = keyOf(d);
    for (const char* ext : {"../../../../tmp/evil", "m4a/../../x", "/etc/passwd", ".", ".."}) {
        rig.offer(kd, 5'000, ext);
        rig.chunks(d, 0, 2'000);
    }
    const Bytes e = randomBytes(3'000, 3);
    rig.chunks(e, 0, 3'000);
    rig.send(TrackDone{TrackKey::of(ByteView(e))});
    rig.send(Play{keyOf(e), rig.hostNowNs() + 1'500 * nsPerMs, 0});
    rig.send(Play{"not a key", rig.hostNowNs() + 1'500 * nsPerMs, 0});
    rig.run(2);
    EXPECT_TRUE(rig.haves(huge).empty());
    EXPECT_EQ(rig.haves(kd).size(), 5u);
    EXPECT_NE(*rig.session->state(), SpeakerState::playing);
    EXPECT_FALSE(rig.session->player().spec);
    EXPECT_TRUE(rig.session->phase()->is(SpeakerSession::Phase::Kind::connected));
    std::vector<std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_regular_file()) {
            files.push_back(fs::relative(entry.path(), root).string());
        }
    }
    std::sort(files.begin(), files.end());
    std::vector<std::string> expected{"cache/tracks/" + ka + ".m4a", "cache/tracks/" + kd + ".m4a"};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(files, expected);
    EXPECT_EQ(TrackCache::length(rig.cached(kd)), 2'000);

    // Chunks spread over many songs at once hold only a few files open.
    const auto openFiles = [] {
        return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator());
    };
    const auto filesBefore = openFiles();
    std::vector<Bytes> many;
    for (uint32_t i = 0; i < 12; ++i) {
        many.push_back(randomBytes(10'000, 10 + i));
        rig.offer(keyOf(many.back()), 10'000);
    }
    for (int round = 0; round < 2; ++round) {
        for (const Bytes& song : many) {
            rig.chunks(song, round * 4'096, (round + 1) * 4'096);
        }
    }
    rig.run(2);
    EXPECT_LE(openFiles(), filesBefore + 4);
    for (const Bytes& song : many) {
        EXPECT_EQ(fileBytes(rig.cached(keyOf(song))), Bytes(song.begin(), song.begin() + 8'192));
    }

    // A flood of offers: the session remembers a bounded number, forgetting idle ones; a song
    // forgotten takes chunks again once offered again.
    const Bytes x = randomBytes(3'000, 40);
    const std::string kx = keyOf(x);
    rig.offer(kx, 3'000);
    for (uint32_t i = 0; i < 100; ++i) {
        rig.offer(keyOf(randomBytes(8, 100 + i)), 10);
    }
    rig.chunks(x, 0, 3'000);
    rig.run(1);
    EXPECT_EQ(TrackCache::length(rig.cached(kx)), 0);
    rig.offer(kx, 3'000);
    rig.chunks(x, 0, 3'000);
    rig.run(1);
    EXPECT_EQ(rig.haves(kx), (std::vector<int64_t>{0, 0}));
    EXPECT_EQ(fileBytes(rig.cached(kx)), x);

    // The songs received before are all still there, and the session goes on receiving.
    rig.offer(kd, 5'000);
    rig.chunks(d, 2'000, 5'000);
    rig.run(1);
    EXPECT_TRUE(rig.isReady(ka) && rig.isReady(kd));
    EXPECT_EQ(fileBytes(rig.cached(ka)), a);
    EXPECT_EQ(fileBytes(rig.cached(kd)), d);

    // A later process with the same cache: one hash, no chunks.
    SessionRig later(rig.speaker.folders().cache.parent_path());
    later.connect();
    later.run(1.5);
    later.offer(ka, 20'000);
    later.run(0.5);
    EXPECT_EQ(later.haves(ka), std::vector<int64_t>{20'000});
    EXPECT_TRUE(later.isReady(ka));
    EXPECT_EQ(later.speaker.background().lastLabel(), SpeakerSession::hashWorkLabel);
    const uint64_t hashes = later.speaker.background().executedCount();
    later.offer(ka, 20'000);
    later.run(0.5);
    EXPECT_EQ(later.speaker.background().executedCount(), hashes);
    EXPECT_EQ(later.haves(ka), (std::vector<int64_t>{20'000, 20'000}));

    // An offer smaller than the cached file starts over.
    later.offer(ka, 10'000);
    later.run(0.5);
    EXPECT_EQ(later.haves(ka).back(), 0);
    EXPECT_FALSE(later.isReady(ka));
    EXPECT_EQ(TrackCache::length(later.cached(ka)), 0);
}

} // namespace
} // namespace merriphonic::speaker_test
