#pragma once

// A speaker session in virtual time, joined to a host played by the test: a connection on its
// own simulated device that answers PINGs, records what the speaker sends and sends what the
// test asks for.

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/time_units.h"
#include "core/track_key.h"
#include "platform/ffmpeg/ffmpeg_media_toolkit.h"
#include "platform/sim/sim_audio_output.h"
#include "platform/sim/sim_device.h"
#include "platform/sim/sim_link.h"
#include "platform/sim/sim_world.h"
#include "speaker/speaker_session.h"
#include "tests/platform/ffmpeg/test_media.h"
#include "tests/support/random_bytes.h"
#include "tests/support/received_messages.h"
#include "transport/connection.h"

namespace merriphonic::speaker_test {

inline Bytes fileBytes(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

using test::randomBytes;

inline std::string keyOf(const Bytes& content) {
    return TrackKey::of(ByteView(content)).hex();
}

class SessionRig {
public:
    // The speaker's clock runs 3 s behind the host's and 20 ppm fast.
    static constexpr int64_t speakerOffsetNs = -3 * nsPerSecond;

    explicit SessionRig(std::filesystem::path folderRoot = {})
        : speaker(world, SimDeviceConfig{.name = "spk",
                                         .clockOffsetNs = speakerOffsetNs,
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
        hostEnd->onClose = [this](const std::string& reason) { hostClosed = reason; };
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
    std::optional<std::string> hostClosed;
    std::shared_ptr<SpeakerSession> session; // last: goes before what it uses
};

} // namespace merriphonic::speaker_test
