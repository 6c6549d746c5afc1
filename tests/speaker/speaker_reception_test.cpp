// How a speaker receives songs: offers answered with what the cache holds, chunks in order,
// early TRACK_DONEs, verification and its retries, the cache across sessions.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "speaker/track_cache.h"
#include "tests/speaker/session_rig.h"

namespace merriphonic::speaker_test {
namespace {

Bytes randomContent(size_t size, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes bytes(size);
    for (uint8_t& byte : bytes) {
        byte = static_cast<uint8_t>(rng());
    }
    return bytes;
}

std::vector<int64_t> haves(const SessionRig& rig, const std::string& key) {
    std::vector<int64_t> result;
    for (const TrackHave& have : rig.all<TrackHave>()) {
        if (have.trackKey == key) {
            result.push_back(have.bytes);
        }
    }
    return result;
}

TEST(TrackCache, SafeExtensionsAndFileNames) {
    EXPECT_EQ(TrackCache::safeExt("MP3"), "mp3");
    EXPECT_EQ(TrackCache::safeExt("m4a"), "m4a");
    EXPECT_EQ(TrackCache::safeExt("flac2"), "flac2");
    for (const char* bad : {"", "toolong", "m 4", "é", "../x", "a.b"}) {
        EXPECT_EQ(TrackCache::safeExt(bad), "m4a") << bad;
    }
    EXPECT_EQ(TrackCache::file("/c", "0123456789abcdef", "WAV"), "/c/0123456789abcdef.wav");
    EXPECT_EQ(TrackCache::length("/nonexistent/file"), 0);
}

TEST(SpeakerReception, ChunksInOrderEarlyDoneRetriesAndVerification) {
    SessionRig rig;
    rig.connect();
    rig.run(1.5);

    // Repeats and overlaps are taken, a gap and an overflow are not.
    const Bytes a = randomContent(1'000, 1);
    const std::string ka = TrackKey::of(ByteView(a)).hex();
    rig.offer(ka, 1'000);
    rig.send(TrackChunk{TrackKey::of(ByteView(a)), 0, Bytes(a.begin(), a.begin() + 100)});
    rig.chunks(a, 100, 200, 100);
    rig.chunks(a, 100, 200, 100);
    rig.chunks(a, 150, 200, 50);
    rig.chunks(a, 300, 400, 100);
    rig.send(TrackChunk{TrackKey::of(ByteView(a)), 150, Bytes(900, 0)});
    rig.run(1.2);
    EXPECT_EQ(haves(rig, ka), std::vector<int64_t>{0});
    EXPECT_EQ(rig.logCount("chunk gap for " + ka + ": offset 300 > have 200"), 1u);
    EXPECT_EQ(rig.logCount("chunk beyond size for " + ka), 1u);
    EXPECT_EQ(*rig.session->state(), SpeakerState::loading);
    EXPECT_EQ(rig.lastStatus()->bytes, 200);
    EXPECT_EQ(rig.lastStatus()->size, 1'000);
    EXPECT_EQ(*rig.session->loadingPercent(), 20);
    // The TRACK_DONE overtakes the last chunk, which comes within 3 s: no request.
    rig.chunks(a, 200, 900, 100);
    rig.send(TrackDone{TrackKey::of(ByteView(a))});
    rig.run(1);
    EXPECT_EQ(rig.logCount("TRACK_DONE early for " + ka + " (900/1000 B) → waiting"), 1u);
    rig.chunks(a, 900, 1'000, 100);
    rig.run(4);
    EXPECT_EQ(haves(rig, ka), std::vector<int64_t>{0});
    EXPECT_TRUE(rig.session->readyKeys().count(ka));
    EXPECT_EQ(*rig.session->state(), SpeakerState::ready);
    EXPECT_EQ(rig.lastStatus()->bytes, 1'000);
    EXPECT_EQ(fileBytes(rig.cached(ka)), a);

    // Nothing after an early TRACK_DONE: three requests from the bytes held, then silence.
    const Bytes b = randomContent(1'000, 2);
    const std::string kb = TrackKey::of(ByteView(b)).hex();
    rig.offer(kb, 1'000, "MP3");
    rig.chunks(b, 0, 900, 300);
    for (int i = 0; i < 4; ++i) {
        rig.send(TrackDone{TrackKey::of(ByteView(b))});
        rig.run(3.5);
    }
    EXPECT_EQ(haves(rig, kb), (std::vector<int64_t>{0, 900, 900, 900}));
    EXPECT_EQ(rig.logCount("(retry 3)"), 1u);
    EXPECT_TRUE(std::filesystem::exists(rig.cached(kb, "mp3")));

    // Wrong bytes: the first mismatch asks again from 0, the second accepts the file.
    const Bytes c = randomContent(5'000, 3);
    const std::string kc = TrackKey::of(ByteView(c)).hex();
    Bytes wrong = c;
    wrong[10] ^= 0xFF;
    rig.offer(kc, 5'000);
    rig.run(0.1);
    for (int i = 0; i < 2; ++i) {
        for (int64_t at = 0; at < 5'000; at += 4096) {
            const int64_t end = std::min<int64_t>(5'000, at + 4096);
            rig.send(TrackChunk{TrackKey::of(ByteView(c)), static_cast<uint32_t>(at),
                                Bytes(wrong.begin() + at, wrong.begin() + end)});
        }
        rig.run(0.5);
    }
    EXPECT_EQ(haves(rig, kc), (std::vector<int64_t>{0, 0}));
    EXPECT_EQ(rig.logCount("hash mismatch for " + kc + " (got "), 1u);
    EXPECT_EQ(rig.logCount("hash mismatch for " + kc + " again → accepting file as-is"), 1u);
    EXPECT_TRUE(rig.session->readyKeys().count(kc));

    // A song that needed a TRACK_DONE retry is still fetched again at its first mismatch.
    const Bytes f = randomContent(1'000, 6);
    const std::string kf = TrackKey::of(ByteView(f)).hex();
    Bytes damaged = f;
    damaged[500] ^= 0xFF;
    const auto sendDamaged = [&](int64_t from, int64_t to) {
        rig.send(TrackChunk{TrackKey::of(ByteView(f)), static_cast<uint32_t>(from),
                            Bytes(damaged.begin() + from, damaged.begin() + to)});
    };
    rig.offer(kf, 1'000);
    sendDamaged(0, 900);
    rig.send(TrackDone{TrackKey::of(ByteView(f))});
    rig.run(3.5);
    sendDamaged(900, 1'000);
    rig.run(0.5);
    EXPECT_EQ(haves(rig, kf), (std::vector<int64_t>{0, 900, 0}));
    EXPECT_FALSE(rig.session->readyKeys().count(kf));

    // An empty song is ready at once; a chunk of a song never offered leaves no file; a chunk
    // of a ready song makes it check the file again.
    const std::string empty = TrackKey::of(ByteView(Bytes{})).hex();
    rig.offer(empty, 0);
    const Bytes d = randomContent(300, 4);
    const std::string kd = TrackKey::of(ByteView(d)).hex();
    rig.chunks(d, 0, 300);
    rig.run(0.2);
    EXPECT_TRUE(rig.session->readyKeys().count(empty));
    EXPECT_FALSE(std::filesystem::exists(rig.cached(kd)));
    rig.offer(kd, 300);
    rig.run(0.1);
    rig.chunks(d, 0, 300);
    rig.chunks(d, 200, 300);
    rig.run(0.2);
    EXPECT_EQ(rig.logCount("ready Song [" + kd + "]"), 2u);
    EXPECT_TRUE(rig.session->readyKeys().count(kd));

    // A teardown in the middle of a transfer keeps what is ready and what is cached.
    const Bytes e = randomContent(9'000, 5);
    const std::string ke = TrackKey::of(ByteView(e)).hex();
    rig.offer(ke, 9'000);
    rig.chunks(e, 0, 4'096);
    rig.run(0.2);
    rig.session->teardown();
    rig.chunks(e, 4'096, 9'000);
    rig.run(0.5);
    EXPECT_EQ(TrackCache::length(rig.cached(ke)), 4'096);
    EXPECT_TRUE(rig.session->readyKeys().count(ka));
    EXPECT_EQ(rig.session->connection(), nullptr);
}

TEST(SpeakerReception, ACachedSongIsAnsweredWholeAndHashedOncePerProcess) {
    SessionRig first;
    const std::filesystem::path root = first.speaker.folders().cache.parent_path();
    const Bytes a = randomContent(20'000, 6);
    const std::string ka = TrackKey::of(ByteView(a)).hex();
    first.connect();
    first.run(1.5);
    first.offer(ka, 20'000);
    first.chunks(a, 0, 20'000);
    first.run(1);
    ASSERT_TRUE(first.session->readyKeys().count(ka));

    // A later process with the same cache: one hash, no chunks.
    SessionRig later(root);
    later.connect();
    later.run(1.5);
    later.offer(ka, 20'000);
    later.run(0.5);
    EXPECT_EQ(haves(later, ka), std::vector<int64_t>{20'000});
    EXPECT_TRUE(later.session->readyKeys().count(ka));
    EXPECT_EQ(later.speaker.background().lastLabel(), SpeakerSession::hashWorkLabel);
    const uint64_t hashes = later.speaker.background().executedCount();
    later.offer(ka, 20'000);
    later.run(0.5);
    EXPECT_EQ(later.speaker.background().executedCount(), hashes);
    EXPECT_EQ(haves(later, ka), (std::vector<int64_t>{20'000, 20'000}));

    // An offer smaller than the cached file starts over.
    later.offer(ka, 10'000);
    later.run(0.5);
    EXPECT_EQ(haves(later, ka).back(), 0);
    EXPECT_FALSE(later.session->readyKeys().count(ka));
    EXPECT_EQ(TrackCache::length(later.cached(ka)), 0);
}

} // namespace
} // namespace merriphonic::speaker_test
