// A host session on the Qt main loop and the shared stream thread, serving a speaker over a
// socketpair: the transfer runs on the stream thread, progress and messages come back to the
// main loop.
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <memory>
#include <string>

#include "host/host_session.h"
#include "platform/qt/fd_byte_stream.h"
#include "platform/qt/real_device.h"
#include "platform/qt/stream_thread.h"
#include "platform/sim/capture_log_sink.h"
#include "tests/host/ready_track.h"
#include "tests/support/qt_test_support.h"

namespace merriphonic::test {
namespace {

TEST(HostSessionThreads, SendsASongAndStartsThePartyAcrossTheStreamThread) {
    const TempFolder temp;
    const std::filesystem::path& root = temp.path();
    RealDevice device(RealDeviceOptions{root / "prefs.conf", DeviceFolders{root, root, root},
                                        std::make_shared<CaptureLogSink>()});

    auto library = LibraryStore::create(device.context());
    const Bytes content = host_test::randomBytes(300'000, 5);
    const LibraryTrack entry = host_test::addReadyTrack(*library, "Song", content, 60'000);

    auto session = HostSession::create(device.context(), library);
    session->start("Kitchen", false);

    std::array<int, 2> fds{};
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds.data()), 0);
    auto speaker = Connection::create(
        device.context(), makeFdStreamPair(fds[1], StreamThread::shared(), {}), "speaker");
    Bytes received;
    bool done = false;
    bool closed = false;
    speaker->onMessage = [&](const Message& message, int64_t) {
        if (const auto* offer = message.as<TrackOffer>()) {
            speaker->enqueue(OutboundFrame(Message(TrackHave{offer->trackKey, 0})));
        } else if (const auto* chunk = message.as<TrackChunk>()) {
            received.insert(received.end(), chunk->data.begin(), chunk->data.end());
        } else if (const auto* trackDone = message.as<TrackDone>()) {
            done = true;
            const auto size = static_cast<int64_t>(received.size());
            speaker->enqueue(
                OutboundFrame(Message(Status{"ready", trackDone->key.hex(), size, size, 3.0, 0})));
        }
    };
    speaker->onClose = [&](const std::string&) { closed = true; };
    speaker->start();
    session->accept(Connection::create(
        device.context(), makeFdStreamPair(fds[0], StreamThread::shared(), {}), "spk-test"));
    speaker->enqueue(OutboundFrame(Message(Hello{1, "spk", "Speaker", "linux"})));
    speaker->enqueue(OutboundFrame(Message(Status{"idle", std::nullopt, 0, 0, 3.0, 0})));
    ASSERT_TRUE(runMainLoopUntil([&] { return session->rows()->size() == 2; }));
    runMainLoopFor(std::chrono::milliseconds(50));

    session->select(entry);
    ASSERT_TRUE(runMainLoopUntil([&] { return *session->playback() == HostPlayback::playing; }));
    EXPECT_TRUE(done);
    EXPECT_EQ(received, content);
    EXPECT_EQ(*session->sendProgress(), 1.0);

    session->endParty();
    EXPECT_TRUE(runMainLoopUntil([&] { return closed; }));
    session.reset();
    speaker.reset();
    // A stream task may still hold the last connection (and the device): it runs first.
    EXPECT_EQ(onStreams([] { return 1; }), 1);
}

} // namespace
} // namespace merriphonic::test
