#pragma once

// A host session in virtual time, and speakers played by the test: each a connection on its
// own simulated device, joined to the host over a simulated link, that records what the host
// sends and, when told to, fetches offered tracks and reports them as a willing speaker would.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/time_units.h"
#include "core/track_key.h"
#include "host/host_session.h"
#include "host/library_store.h"
#include "platform/ffmpeg/ffmpeg_media_toolkit.h"
#include "platform/sim/sim_audio_output.h"
#include "platform/sim/sim_device.h"
#include "platform/sim/sim_link.h"
#include "platform/sim/sim_world.h"
#include "tests/host/ready_track.h"
#include "tests/support/received_messages.h"
#include "transport/connection.h"

namespace merriphonic::host_test {

// The reading half of a speaker that never reads: its channel fills up and stays full.
class DeafInput final : public InputStream {
public:
    explicit DeafInput(std::shared_ptr<InputStream> real) : real_(std::move(real)) {}
    void setEventHandler(StreamEventHandler /*handler*/) override {}
    void open() override { real_->open(); }
    void close() override { real_->close(); }
    [[nodiscard]] bool hasBytesAvailable() const override { return false; }
    int64_t read(uint8_t* /*buffer*/, size_t /*maxLength*/) override { return 0; }
    [[nodiscard]] std::string errorDescription() const override { return {}; }

private:
    std::shared_ptr<InputStream> real_;
};

class ScriptedSpeaker {
public:
    ScriptedSpeaker(SimWorld& world, const std::string& name) : device(world, name) {}

    // Opens the speaker's end of a channel; the other end is handed back for the host.
    StreamPair open(SimDevice& host, const SimLinkConfig& config, bool deaf) {
        link = std::make_unique<SimLink>(device.world(), host.streams(), device.streams(), config,
                                         device.name());
        StreamPair side = link->sideB();
        if (deaf) {
            side.input = std::make_shared<DeafInput>(side.input);
        }
        connection = Connection::create(device.context(), std::move(side), device.name());
        connection->onMessage = [this](const Message& message, int64_t) { receive(message); };
        connection->onClose = [this](const std::string& reason) { closeReason = reason; };
        connection->start();
        return link->sideA();
    }

    void send(const Message& message) const { connection->enqueue(OutboundFrame(message)); }
    void hello() const { send(Hello{1, device.name() + "-id", device.name(), "linux"}); }
    void status(const std::string& state, std::optional<std::string> key = {}, int64_t bytes = 0,
                int64_t size = 0) const {
        send(Status{state, std::move(key), bytes, size, 12.5, 30});
    }

    // Control messages received, by wire name, in order (chunks left out).
    [[nodiscard]] std::vector<std::string> names() const {
        std::vector<std::string> result;
        for (const Message& message : received) {
            if (!message.is<TrackChunk>()) {
                result.push_back(message.name());
            }
        }
        return result;
    }
    template <class T>
    [[nodiscard]] std::vector<T> all() const {
        return test::messagesOf<T>(received);
    }

    SimDevice device;
    std::unique_ptr<SimLink> link;
    std::shared_ptr<Connection> connection;
    std::vector<Message> received;
    std::optional<std::string> closeReason;
    // Tracks put together from chunks, by key text; a chunk out of order is counted, not kept.
    std::map<std::string, Bytes> files;
    int misplacedChunks = 0;
    // When set, answers every offer with what it holds, reports a verified track ready and a
    // PLAY of a track it has as playing.
    bool willing = false;

private:
    void receive(const Message& message) {
        received.push_back(message);
        if (const auto* chunk = message.as<TrackChunk>()) {
            Bytes& file = files[chunk->key.hex()];
            if (chunk->offset == file.size()) {
                file.insert(file.end(), chunk->data.begin(), chunk->data.end());
            } else {
                ++misplacedChunks;
            }
        }
        if (!willing) {
            return;
        }
        if (const auto* offer = message.as<TrackOffer>()) {
            send(TrackHave{offer->trackKey, static_cast<int64_t>(files[offer->trackKey].size())});
        } else if (const auto* done = message.as<TrackDone>()) {
            const Bytes& file = files[done->key.hex()];
            if (TrackKey::of(ByteView(file)) == done->key) {
                status("ready", done->key.hex(), int64_t(file.size()), int64_t(file.size()));
            }
        } else if (const auto* play = message.as<Play>()) {
            if (files.count(play->trackKey) != 0) {
                status("playing", play->trackKey);
            }
        }
    }
};

class HostRig {
public:
    explicit HostRig(uint64_t seed = 11) : world(seed), host(world, "host") {
        host.context().media = &media;
        host.context().audio = &cards;
        library = LibraryStore::create(host.context());
        session = HostSession::create(host.context(), library);
    }

    // What the session and the connections leave queued runs while the devices still exist.
    ~HostRig() {
        session.reset();
        world.runFor(nsPerMs);
    }
    HostRig(const HostRig&) = delete;
    HostRig& operator=(const HostRig&) = delete;

    // A speaker whose channel the host accepts at once; it says HELLO unless told not to, and
    // a deaf one never reads what the host sends.
    ScriptedSpeaker& join(const std::string& name, bool hello = true,
                          const SimLinkConfig& config = {.latencyNs = 2 * nsPerMs,
                                                         .bytesPerSecond = 200'000},
                          bool deaf = false) {
        auto& speaker = *speakers.emplace_back(std::make_unique<ScriptedSpeaker>(world, name));
        session->accept(
            Connection::create(host.context(), speaker.open(host, config, deaf), "spk-" + name));
        if (hello) {
            speaker.hello();
        }
        run(0.1);
        return speaker;
    }

    void run(double seconds) { world.runFor(static_cast<int64_t>(seconds * 1e9)); }
    [[nodiscard]] const SpeakerRow* row(const std::string& name) const {
        for (const SpeakerRow& row : *session->rows()) {
            if (row.name == name) {
                return &row;
            }
        }
        return nullptr;
    }

    SimWorld world;
    SimDevice host;
    FfmpegMediaToolkit media;
    SimAudioOutputFactory cards{world, host.clock(), {.outputLatencyNs = 5 * nsPerMs}};
    std::shared_ptr<LibraryStore> library;
    std::vector<std::unique_ptr<ScriptedSpeaker>> speakers;
    std::shared_ptr<HostSession> session; // last: goes before what it uses
};

} // namespace merriphonic::host_test
