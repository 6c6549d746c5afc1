// A speaker session against a host played by the test: clock bursts, commands and the
// reported state; how songs are received (offers answered with what the cache holds, chunks in
// order, early TRACK_DONEs, verification and its retries, the cache across sessions); a host
// that misbehaves, which costs nothing of what arrived before. (How the speakers sound
// together, hosts lost mid-transfer and the end of a party are the party scenarios' part.)
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/sync_protocol.h"
#include "core/time_units.h"
#include "core/track_key.h"
#include "platform/ffmpeg/ffmpeg_media_toolkit.h"
#include "platform/prefs.h"
#include "platform/sim/sim_audio_output.h"
#include "platform/sim/sim_device.h"
#include "platform/sim/sim_link.h"
#include "platform/sim/sim_world.h"
#include "speaker/speaker_session.h"
#include "speaker/track_cache.h"
#include "tests/platform/ffmpeg/test_media.h"
#include "tests/support/random_bytes.h"
#include "tests/support/received_messages.h"
#include "transport/connection.h"

namespace merriphonic::speaker_test {
namespace {

namespace fs = std::filesystem;

// The host is played by the test: a connection on its own simulated device that answers
// PINGs, records what the speaker sends and sends what the test asks for.
Bytes fileBytes(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

using test::randomBytes;

std::string keyOf(const Bytes& content) {
    return TrackKey::of(ByteView(content)).hex();
}

class SessionRig {
public:
    // The speaker's clock runs 3 s behind the host's and 20 ppm fast.
    explicit SessionRig(std::filesystem::path folderRoot = {})
        : speaker(world, SimDeviceConfig{.name = "spk",
                                         .clockOffsetNs = -3 * nsPerSecond,
                                         .clockSkewPpm = 20,
                                         .folderRoot = std::move(folderRoot)}) {
        speaker.context().media = &media;
        speaker.context().audio = &cards;
        session = SpeakerSession::create(speaker.context());
    }

    // What the session and the connections leave queued runs while the devices still exist.
    ~SessionRig() {
        session.reset();
        hostEnd.reset();
        world.runFor(nsPerMs);
    }
    SessionRig(const SessionRig&) = delete;
    SessionRig& operator=(const SessionRig&) = delete;

    // A channel to the host is opened and handed to the session.
    void connect() {
        link = std::make_unique<SimLink>(world, host.streams(), speaker.streams(),
                                         SimLinkConfig{.latencyNs = 2 * nsPerMs,
                                                       .jitterNs = nsPerMs,
                                                       .bytesPerSecond = 200'000});
        hostEnd = Connection::create(host.context(), link->sideA(), "spk-test");
        hostEnd->autoPong = true;
        hostEnd->onMessage = [this](const Message& message, int64_t) {
            received.push_back(message);
        };
        hostEnd->start();
        session->attach(Connection::create(speaker.context(), link->sideB(), "host"), "Kitchen");
    }

    void send(const Message& message) const { hostEnd->enqueue(OutboundFrame(message)); }
    void offer(const std::string& key, int64_t size, const std::string& ext = "m4a") const {
        send(TrackOffer{key, "Song", "The Band", ext, size, 3'000});
    }
    // Sends content[from, to) as chunks of up to chunkBytes, under the content's own key or
    // another.
    void chunks(const Bytes& content, int64_t from, int64_t to, int64_t chunkBytes = 4096,
                std::optional<TrackKey> as = {}) const {
        const TrackKey key = as.value_or(TrackKey::of(ByteView(content)));
        for (int64_t at = from; at < to; at += chunkBytes) {
            const int64_t end = std::min(to, at + chunkBytes);
            send(TrackChunk{key, static_cast<uint32_t>(at),
                            Bytes(content.begin() + at, content.begin() + end)});
        }
    }
    // The world time at which the host clock reads hostNs.
    [[nodiscard]] int64_t hostNowNs() { return host.clock().nowNs(); }

    template <class T>
    [[nodiscard]] std::vector<T> all() const {
        return test::messagesOf<T>(received);
    }
    // The byte counts of the TRACK_HAVEs sent for a key, in order.
    [[nodiscard]] std::vector<int64_t> haves(const std::string& key) const {
        std::vector<int64_t> result;
        for (const TrackHave& have : all<TrackHave>()) {
            if (have.trackKey == key) {
                result.push_back(have.bytes);
            }
        }
        return result;
    }
    [[nodiscard]] bool isReady(const std::string& key) const {
        return session->readyKeys().count(key) != 0;
    }
    [[nodiscard]] std::optional<Status> lastStatus() const {
        const std::vector<Status> statuses = all<Status>();
        return statuses.empty() ? std::nullopt : std::optional<Status>(statuses.back());
    }
    void run(double seconds) { world.runFor(static_cast<int64_t>(seconds * 1e9)); }
    [[nodiscard]] std::filesystem::path cached(const std::string& key,
                                               const std::string& ext = "m4a") const {
        return session->cacheFolder() / (key + "." + ext);
    }

    SimWorld world{21};
    SimDevice host{world, "host"};
    SimDevice speaker;
    FfmpegMediaToolkit media;
    SimAudioOutputFactory cards{world, speaker.clock(), {.outputLatencyNs = 5 * nsPerMs}};
    std::unique_ptr<SimLink> link;
    std::shared_ptr<Connection> hostEnd;
    std::vector<Message> received;
    std::shared_ptr<SpeakerSession> session; // last: goes before what it uses
};

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

    rig.send(Volume{-0.2});
    rig.run(0.1);
    EXPECT_EQ(rig.session->player().nodeVolume(), 0.0F);
    rig.session->setDelayMs(800);
    EXPECT_EQ(Prefs::delayMs(rig.speaker.prefs()), 500);
    rig.run(0.5);
    EXPECT_EQ(rig.lastStatus()->delayMs, 500);
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

    // An empty song is ready at once; a chunk of a ready song makes it check the file again.
    const std::string empty = keyOf(Bytes{});
    rig.offer(empty, 0);
    rig.run(0.2);
    EXPECT_TRUE(rig.isReady(empty));
    const uint64_t hashes = rig.speaker.background().executedCount();
    rig.chunks(a, 900, 1'000, 100);
    rig.run(0.2);
    EXPECT_EQ(rig.speaker.background().executedCount(), hashes + 1);
    EXPECT_TRUE(rig.isReady(ka));
}

// A song received whole, then what a host might send wrong; and the cache a later process finds.
TEST_F(SpeakerSessionTest, NothingAHostSendsCostsTheSongsAlreadyThere) {
    rig.run(1.5);
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

    // A song too large to travel; chunks, TRACK_DONE and PLAY for a song never offered.
    const std::string huge = "00000000000000aa";
    rig.offer(huge, SyncProtocol::maxTrackSize + 1);
    rig.send(TrackChunk{*TrackKey::fromHex(huge), 0, Bytes(4096, 1)});
    const Bytes e = randomBytes(3'000, 3);
    rig.chunks(e, 0, 3'000);
    rig.send(TrackDone{TrackKey::of(ByteView(e))});
    rig.send(Play{keyOf(e), rig.hostNowNs() + 1'500 * nsPerMs, 0});
    rig.run(2);
    EXPECT_TRUE(rig.haves(huge).empty());
    EXPECT_FALSE(rig.session->player().spec);
    EXPECT_TRUE(rig.session->phase()->is(SpeakerSession::Phase::Kind::connected));
    EXPECT_TRUE(rig.isReady(ka));
    EXPECT_EQ(fileBytes(rig.cached(ka)), a);

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
