// A whole party in virtual time, driven by arbitrary input: a host session with a small
// library, a speaker session joined to it, and two peers played by the input, one speaking to
// the host as a speaker would and one speaking to a second speaker session as a host would.
// The input decides which messages (well-formed, or raw frames), user actions and pauses
// follow one another. Nothing may crash or trip a sanitizer, and the host never lists more than
// its speakers.
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "core/frame_codec.h"
#include "core/sync_protocol.h"
#include "core/time_units.h"
#include "core/track_key.h"
#include "host/host_session.h"
#include "host/library_store.h"
#include "platform/sim/sim_audio_output.h"
#include "platform/sim/sim_device.h"
#include "platform/sim/sim_link.h"
#include "platform/sim/sim_world.h"
#include "speaker/speaker_session.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/host/ready_track.h"
#include "transport/connection.h"

using namespace merriphonic;

using merriphonic::fuzz::check;

namespace {

const SimLinkConfig linkConfig{.latencyNs = 2 * nsPerMs, .bytesPerSecond = 200'000};
// Large buffers, nothing kept: what is heard does not matter here, only what happens.
const SimAudioCardConfig cardConfig{
    .outputLatencyNs = 5 * nsPerMs, .periodFrames = 2'048, .recordBuffers = false};
// Virtual time one input may spend, so that an input costs milliseconds, not seconds.
constexpr int64_t budgetNs = 30'000 * nsPerMs;

// Where one input's devices keep their files: in memory when the system offers it, since the
// library syncs what it writes. Removed with the input.
class Folders {
public:
    Folders() {
        std::error_code error;
        const std::filesystem::path shm = "/dev/shm";
        const std::filesystem::path base = std::filesystem::is_directory(shm, error)
                                               ? shm
                                               : std::filesystem::temp_directory_path();
        root_ = base / ("merriphonic-fuzz-" + std::to_string(::getpid()));
        std::filesystem::remove_all(root_, error);
    }
    ~Folders() {
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
    Folders(const Folders&) = delete;
    Folders& operator=(const Folders&) = delete;

    [[nodiscard]] SimDeviceConfig device(const std::string& name, int64_t offsetNs = 0,
                                         double skewPpm = 0) const {
        return SimDeviceConfig{.name = name,
                               .clockOffsetNs = offsetNs,
                               .clockSkewPpm = skewPpm,
                               .folderRoot = root_ / name};
    }

private:
    std::filesystem::path root_;
};

// A peer whose every word comes from the input, on a device of its own.
struct Peer {
    Peer(SimWorld& world, const SimDeviceConfig& config) : device(world, config) {}
    SimDevice device;
    std::unique_ptr<SimLink> link;
    std::shared_ptr<Connection> connection;
};

class Party {
public:
    explicit Party(FuzzedDataProvider& input) : input_(input) {
        for (int i = 0; i < 2; ++i) {
            songs_.push_back(host_test::randomBytes(6'000 + 5'000 * i, 7 + i));
            tracks_.push_back(host_test::addReadyTrack(*library_, "Song " + std::to_string(i),
                                                       songs_.back(), 20'000 + 10'000 * i));
        }
        hostDevice_.context().audio = &hostCards_;
        speakerDevice_.context().audio = &speakerCards_;
        joinedDevice_.context().audio = &joinedCards_;
        host_ = HostSession::create(hostDevice_.context(), library_);
        speaker_ = SpeakerSession::create(speakerDevice_.context());
        joined_ = SpeakerSession::create(joinedDevice_.context());
        host_->start("Party", false);
        joinHost();
        joinSpeaker();
        // The speaker session that joins the real host, over a link of their own.
        realLink_ = std::make_unique<SimLink>(world_, hostDevice_.streams(),
                                              joinedDevice_.streams(), linkConfig, "real");
        host_->accept(Connection::create(hostDevice_.context(), realLink_->sideA(), "spk-real"));
        joined_->attach(Connection::create(joinedDevice_.context(), realLink_->sideB(), "host"),
                        "Party");
    }

    ~Party() {
        host_.reset();
        speaker_.reset();
        joined_.reset();
        fakeSpeaker_.connection.reset();
        fakeHost_.connection.reset();
        world_.runFor(nsPerMs);
    }
    Party(const Party&) = delete;
    Party& operator=(const Party&) = delete;

    void step() {
        switch (input_.ConsumeIntegralInRange(0, 9)) {
        case 0:
        case 1:
            sendTo(fakeSpeaker_, message());
            break;
        case 2:
        case 3:
            sendTo(fakeHost_, message());
            break;
        case 4:
            rawTo(input_.ConsumeBool() ? fakeSpeaker_ : fakeHost_);
            break;
        case 5:
        case 6:
            advance(input_.ConsumeIntegralInRange<int64_t>(0, 3'000) * nsPerMs);
            break;
        case 7:
            hostAction();
            break;
        case 8:
            speakerAction();
            break;
        default:
            if (input_.ConsumeBool()) {
                joinHost();
            } else {
                joinSpeaker();
            }
            break;
        }
        check(host_->rows()->size() <= 1 + static_cast<size_t>(SyncProtocol::maxSpeakers));
    }

    void finish() { world_.runFor(3'000 * nsPerMs); }

private:
    void advance(int64_t ns) {
        const int64_t step = std::min(ns, budgetNs - spentNs_);
        spentNs_ += step;
        world_.runFor(step);
    }

    // The input's own speaker, on a fresh channel to the host (the old one is dropped).
    void joinHost() {
        closePeer(fakeSpeaker_);
        fakeSpeaker_.link =
            std::make_unique<SimLink>(world_, hostDevice_.streams(), fakeSpeaker_.device.streams(),
                                      linkConfig, "fake-speaker");
        fakeSpeaker_.connection =
            Connection::create(fakeSpeaker_.device.context(), fakeSpeaker_.link->sideB(), "fake");
        fakeSpeaker_.connection->start();
        host_->accept(
            Connection::create(hostDevice_.context(), fakeSpeaker_.link->sideA(), "spk-fake"));
    }

    // The input's own host, on a fresh channel to the second speaker session.
    void joinSpeaker() {
        closePeer(fakeHost_);
        fakeHost_.link = std::make_unique<SimLink>(
            world_, fakeHost_.device.streams(), speakerDevice_.streams(), linkConfig, "fake-host");
        fakeHost_.connection =
            Connection::create(fakeHost_.device.context(), fakeHost_.link->sideA(), "fake");
        fakeHost_.connection->autoPong = input_.ConsumeBool();
        fakeHost_.connection->start();
        speaker_->attach(
            Connection::create(speakerDevice_.context(), fakeHost_.link->sideB(), "host"), "Fuzz");
    }

    void closePeer(Peer& peer) {
        if (peer.connection) {
            peer.connection->close("replaced");
            world_.runFor(10 * nsPerMs);
        }
    }

    static void sendTo(const Peer& peer, const Message& message) {
        peer.connection->enqueue(OutboundFrame(message));
    }

    void rawTo(const Peer& peer) {
        const auto type = input_.ConsumeIntegral<uint8_t>();
        const std::string payload = input_.ConsumeRandomLengthString(200);
        peer.connection->enqueue(
            OutboundFrame(FrameCodec::frame(type, Bytes(payload.begin(), payload.end())),
                          std::nullopt, input_.ConsumeBool(), "RAW"));
    }

    std::string keyText() {
        switch (input_.ConsumeIntegralInRange(0, 4)) {
        case 0:
        case 1:
            return *tracks_[input_.ConsumeIntegralInRange<size_t>(0, tracks_.size() - 1)].trackKey;
        case 2:
            return TrackKey::of(ByteView(Bytes{input_.ConsumeIntegral<uint8_t>()})).hex();
        default:
            return input_.ConsumeRandomLengthString(24);
        }
    }

    TrackKey key() { return TrackKey::fromHex(keyText()).value_or(TrackKey{}); }

    int64_t number() {
        return input_.ConsumeBool() ? input_.ConsumeIntegralInRange<int64_t>(-10, 70'000)
                                    : input_.ConsumeIntegral<int64_t>();
    }

    std::string text() { return input_.ConsumeRandomLengthString(40); }

    Message message() {
        switch (input_.ConsumeIntegralInRange(0, 14)) {
        case 0:
            return Hello{number(), text(), text(), text()};
        case 1:
            return Welcome{number(), text(), text()};
        case 2:
            return Ping{input_.ConsumeIntegral<uint32_t>(), number()};
        case 3:
            return Pong{input_.ConsumeIntegral<uint32_t>(), number(), number(), number()};
        case 4: {
            const size_t song = input_.ConsumeIntegralInRange<size_t>(0, songs_.size() - 1);
            return TrackOffer{input_.ConsumeBool() ? *tracks_[song].trackKey : keyText(),
                              text(),
                              text(),
                              input_.ConsumeBool() ? "m4a" : text(),
                              input_.ConsumeBool() ? int64_t(songs_[song].size()) : number(),
                              number()};
        }
        case 5:
            return TrackHave{keyText(), number()};
        case 6: {
            // Mostly true slices of a song, so that songs can complete and be verified.
            const Bytes& song = songs_[input_.ConsumeIntegralInRange<size_t>(0, songs_.size() - 1)];
            const size_t from = input_.ConsumeIntegralInRange<size_t>(0, song.size());
            const size_t count = input_.ConsumeIntegralInRange<size_t>(0, 4'096);
            Bytes data(song.begin() + static_cast<std::ptrdiff_t>(from),
                       song.begin() +
                           static_cast<std::ptrdiff_t>(std::min(song.size(), from + count)));
            if (input_.ConsumeBool()) {
                return TrackChunk{TrackKey::of(ByteView(song)), static_cast<uint32_t>(from),
                                  std::move(data)};
            }
            return TrackChunk{key(), input_.ConsumeIntegral<uint32_t>(), std::move(data)};
        }
        case 7:
            return TrackDone{key()};
        case 8:
            return Play{keyText(),
                        input_.ConsumeBool()
                            ? hostDevice_.clock().nowNs() +
                                  input_.ConsumeIntegralInRange<int64_t>(-5'000, 5'000) * nsPerMs
                            : number(),
                        number()};
        case 9:
            return Pause{keyText(), number()};
        case 10:
            return Volume{input_.ConsumeFloatingPoint<double>()};
        case 11:
            return Status{text(),
                          input_.ConsumeBool() ? std::optional(keyText()) : std::nullopt,
                          number(),
                          number(),
                          input_.ConsumeFloatingPoint<double>(),
                          number()};
        case 12:
            return Bye{};
        case 13:
            return Stop{};
        default:
            return Unknown{input_.ConsumeIntegral<uint8_t>(),
                           Bytes(input_.ConsumeIntegral<uint8_t>())};
        }
    }

    void hostAction() {
        const std::vector<LibraryTrack> tracks = *library_->tracks;
        switch (input_.ConsumeIntegralInRange(0, 7)) {
        case 0:
            if (!tracks.empty()) {
                host_->select(tracks[input_.ConsumeIntegralInRange<size_t>(0, tracks.size() - 1)]);
            }
            break;
        case 1:
            host_->togglePlayPause();
            break;
        case 2:
            host_->pause();
            break;
        case 3:
            host_->next();
            break;
        case 4:
            host_->seek(number());
            break;
        case 5:
            host_->setGroupVolume(input_.ConsumeFloatingPoint<double>());
            break;
        case 6:
            host_->setDelayMs(input_.ConsumeIntegral<int>());
            break;
        default:
            host_->endParty();
            host_->start(text(), false);
            break;
        }
    }

    void speakerAction() {
        switch (input_.ConsumeIntegralInRange(0, 3)) {
        case 0:
            speaker_->setDelayMs(input_.ConsumeIntegral<int>());
            break;
        case 1:
            speaker_->setLocalVolume(input_.ConsumeFloatingPoint<double>());
            break;
        case 2:
            speaker_->leave();
            break;
        default:
            joined_->setDelayMs(input_.ConsumeIntegral<int>());
            break;
        }
    }

    FuzzedDataProvider& input_;
    Folders folders_;
    SimWorld world_{3};
    SimDevice hostDevice_{world_, folders_.device("host")};
    SimDevice speakerDevice_{world_, folders_.device("spk", -3'000 * nsPerMs, 20)};
    SimDevice joinedDevice_{world_, folders_.device("joined", 700 * nsPerMs, -15)};
    SimAudioOutputFactory hostCards_{world_, hostDevice_.clock(), cardConfig};
    SimAudioOutputFactory speakerCards_{world_, speakerDevice_.clock(), cardConfig};
    SimAudioOutputFactory joinedCards_{world_, joinedDevice_.clock(), cardConfig};
    Peer fakeSpeaker_{world_, folders_.device("fake-speaker")};
    Peer fakeHost_{world_, folders_.device("fake-host")};
    std::unique_ptr<SimLink> realLink_;
    std::shared_ptr<LibraryStore> library_ = LibraryStore::create(hostDevice_.context());
    std::vector<Bytes> songs_;
    std::vector<LibraryTrack> tracks_;
    std::shared_ptr<HostSession> host_;
    std::shared_ptr<SpeakerSession> speaker_;
    std::shared_ptr<SpeakerSession> joined_;
    int64_t spentNs_ = 0;
};

} // namespace

// NOLINTNEXTLINE(readability-identifier-naming): the name libFuzzer calls
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    Party party(input);
    for (int steps = 0; steps < 200 && input.remaining_bytes() > 0; ++steps) {
        party.step();
    }
    party.finish();
    return 0;
}
