// A speaker session against a host that misbehaves: songs it cannot hold, keys and extensions
// crafted to leave the cache folder, chunks and PLAYs for songs never offered, chunks spread
// over many songs, and a host that goes away at every step of a transfer. Each scenario ends
// with the songs received before intact.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/sync_protocol.h"
#include "core/text_limits.h"
#include "platform/sim/sim_air.h"
#include "speaker/track_cache.h"
#include "tests/speaker/session_rig.h"
#include "transport/host_peripheral.h"

namespace merriphonic::speaker_test {
namespace {

namespace fs = std::filesystem;

Bytes randomContent(size_t size, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes bytes(size);
    for (uint8_t& byte : bytes) {
        byte = static_cast<uint8_t>(rng());
    }
    return bytes;
}

std::string keyOf(const Bytes& content) {
    return TrackKey::of(ByteView(content)).hex();
}

size_t openFileCount() {
    return static_cast<size_t>(
        std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()));
}

// Every file below the speaker's folders, relative to their root.
std::vector<std::string> filesBelow(const fs::path& root) {
    std::vector<std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_regular_file()) {
            files.push_back(fs::relative(entry.path(), root).string());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::vector<int64_t> havesOf(const SessionRig& rig, const std::string& key) {
    std::vector<int64_t> result;
    for (const TrackHave& have : rig.all<TrackHave>()) {
        if (have.trackKey == key) {
            result.push_back(have.bytes);
        }
    }
    return result;
}

TEST(HostileHost, NothingAHostSendsLeavesTheCacheOrCostsTheSongsAlreadyThere) {
    SessionRig rig;
    const fs::path root = rig.speaker.folders().cache.parent_path();
    rig.connect();
    rig.run(1.5);
    const Bytes a = randomContent(20'000, 1);
    const std::string ka = keyOf(a);
    rig.offer(ka, 20'000);
    rig.chunks(a, 0, 20'000);
    rig.run(1);
    ASSERT_TRUE(rig.session->readyKeys().count(ka));

    // PONGs the speaker never asked for, or answering one PING twice, count for nothing.
    const size_t samples = rig.session->clock().samples().size();
    for (uint32_t seq = 0; seq < 5'000; ++seq) {
        const int64_t hostNs = rig.hostNowNs();
        rig.send(Pong{seq % 50, rig.speaker.clock().nowNs() - sessionMsNs, hostNs, hostNs});
    }
    rig.run(0.2);
    EXPECT_LE(rig.session->clock().samples().size(), samples + 5);

    // Songs too large to travel, or of a negative size: refused before a byte is written.
    const std::string huge = "00000000000000aa";
    for (const int64_t size : {SyncProtocol::maxTrackSize + 1, int64_t{1} << 40, int64_t{-1}}) {
        rig.offer(huge, size);
        rig.send(TrackChunk{*TrackKey::fromHex(huge), 0, Bytes(4096, 1)});
    }
    // Keys that are no keys, extensions that are paths.
    for (const char* key : {"../../../../tmp/evil", "0123456789abcde/", "0123456789abcdef/..", "",
                            "0123456789abcdeg"}) {
        rig.offer(key, 10);
    }
    const Bytes d = randomContent(5'000, 2);
    const std::string kd = keyOf(d);
    for (const char* ext : {"../../../../tmp/evil", "m4a/../../x", "/etc/passwd", ".", ".."}) {
        rig.offer(kd, 5'000, ext);
        rig.chunks(d, 0, 2'000);
    }
    // Chunks, TRACK_DONE and PLAY for songs never offered.
    const Bytes e = randomContent(3'000, 3);
    rig.chunks(e, 0, 3'000);
    rig.send(TrackDone{TrackKey::of(ByteView(e))});
    rig.send(Play{keyOf(e), rig.hostNowNs() + 1'500 * sessionMsNs, 0});
    rig.send(Play{"not a key", rig.hostNowNs() + 1'500 * sessionMsNs, 0});
    rig.run(2);

    EXPECT_EQ(rig.logCount("refusing TRACK_OFFER " + huge), 2u);
    EXPECT_EQ(rig.logCount("bad TRACK_OFFER key"), 6u);
    EXPECT_TRUE(havesOf(rig, huge).empty());
    EXPECT_EQ(havesOf(rig, kd).size(), 5u);
    EXPECT_NE(*rig.session->state(), SpeakerState::playing);
    EXPECT_FALSE(rig.session->player().spec);
    EXPECT_TRUE(rig.session->phase()->is(SpeakerSession::Phase::Kind::connected));
    std::vector<std::string> expected{"cache/tracks/" + ka + ".m4a", "cache/tracks/" + kd + ".m4a"};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(filesBelow(root), expected);
    EXPECT_EQ(TrackCache::length(rig.cached(kd)), 2'000);
    EXPECT_EQ(fileBytes(rig.cached(ka)), a);

    // Chunks spread over many songs at once hold only a few files open.
    const size_t filesBefore = openFileCount();
    std::vector<Bytes> many;
    for (uint32_t i = 0; i < 12; ++i) {
        many.push_back(randomContent(10'000, 10 + i));
        rig.offer(keyOf(many.back()), 10'000);
    }
    for (int round = 0; round < 2; ++round) {
        for (const Bytes& song : many) {
            rig.chunks(song, round * 4'096, (round + 1) * 4'096);
        }
    }
    rig.run(2);
    EXPECT_LE(openFileCount(), filesBefore + 4);
    for (const Bytes& song : many) {
        EXPECT_EQ(fileBytes(rig.cached(keyOf(song))), Bytes(song.begin(), song.begin() + 8'192));
    }

    // A flood of offers: the session remembers a bounded number, forgetting idle ones; a song
    // forgotten takes chunks again once offered again.
    const Bytes x = randomContent(3'000, 40);
    const std::string kx = keyOf(x);
    rig.offer(kx, 3'000);
    for (uint32_t i = 0; i < 100; ++i) {
        rig.offer(keyOf(randomContent(8, 100 + i)), 10);
    }
    rig.chunks(x, 0, 3'000);
    rig.run(1);
    EXPECT_EQ(TrackCache::length(rig.cached(kx)), 0);
    rig.offer(kx, 3'000);
    rig.chunks(x, 0, 3'000);
    rig.run(1);
    EXPECT_EQ(havesOf(rig, kx), (std::vector<int64_t>{0, 0}));
    EXPECT_EQ(fileBytes(rig.cached(kx)), x);

    // The songs received before are all still there, and the session goes on receiving.
    rig.offer(kd, 5'000);
    rig.chunks(d, 2'000, 5'000);
    rig.run(1);
    EXPECT_TRUE(rig.session->readyKeys().count(ka));
    EXPECT_TRUE(rig.session->readyKeys().count(kd));
    EXPECT_EQ(fileBytes(rig.cached(ka)), a);
    EXPECT_EQ(fileBytes(rig.cached(kd)), d);
}

TEST(HostileHost, AHostGoneAtEveryStepOfATransferLeavesWhatArrivedForTheNextJoin) {
    SessionRig rig;
    const Bytes song = randomContent(6 * 4'096 + 100, 4);
    const std::string key = keyOf(song);
    int64_t held = 0;
    for (int step = 0; step <= 7; ++step) {
        rig.connect();
        rig.run(0.5);
        // Before the offer, after it, and after each further chunk.
        if (step > 0) {
            rig.offer(key, static_cast<int64_t>(song.size()));
            rig.run(0.2);
            ASSERT_EQ(havesOf(rig, key).back(), held) << step;
            const int64_t upTo = std::min<int64_t>(held + 4'096, static_cast<int64_t>(song.size()));
            rig.chunks(song, held, upTo);
            held = upTo;
            rig.run(0.2);
        }
        rig.hostEnd->close("host gone");
        rig.run(0.5);
        EXPECT_TRUE(rig.session->phase()->is(SpeakerSession::Phase::Kind::disconnected)) << step;
        EXPECT_EQ(TrackCache::length(rig.cached(key)), held) << step;
    }
    rig.connect();
    rig.run(0.5);
    rig.offer(key, static_cast<int64_t>(song.size()));
    rig.run(1);
    EXPECT_EQ(havesOf(rig, key).back(), static_cast<int64_t>(song.size()));
    EXPECT_TRUE(rig.session->readyKeys().count(key));
    EXPECT_EQ(fileBytes(rig.cached(key)), song);
}

TEST(HostileHost, ACrowdOfPartiesIsListedStrongestFirstUpToTheBound) {
    SimWorld world(5);
    SimAir air(world);
    SimDevice speakerDevice(world, "spk");
    air.attach(speakerDevice, {0, 0});
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
    world.runFor(3 * sessionSecNs);

    const std::vector<DiscoveredHost> listed = *session->discovered();
    EXPECT_EQ(listed.size(), SpeakerSession::maxDiscoveredHosts);
    for (size_t i = 1; i < listed.size(); ++i) {
        EXPECT_GE(listed[i - 1].rssi, listed[i].rssi);
    }
    for (const DiscoveredHost& host : listed) {
        EXPECT_LE(host.name.size(), TextLimits::maxNameBytes);
    }
    session.reset();
    for (auto& party : parties) {
        party->stop();
    }
    world.runFor(sessionMsNs);
}

} // namespace
} // namespace merriphonic::speaker_test
