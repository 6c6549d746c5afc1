// The transfer scheduler pulled directly, as a connection pulls it on the stream loop.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "core/frame_codec.h"
#include "core/message.h"
#include "host/transfer_scheduler.h"
#include "tests/host/host_rig.h"

namespace merriphonic::host_test {
namespace {

// A frame as (key, chunk offset, chunk length); TRACK_DONE has no offset or length.
using Pulled = std::tuple<std::string, int64_t, int64_t>;

class SchedulerTest : public ::testing::Test {
protected:
    SchedulerTest() { fresh(); }

    // A new scheduler, its progress reports recorded from now on.
    void fresh() {
        scheduler = std::make_shared<TransferScheduler>(device.context());
        reports.clear();
        scheduler->onProgress = [this](const std::string& key, int64_t sent, int64_t size,
                                       bool finished) {
            reports.emplace_back(key, sent, size, finished);
        };
    }

    // A file of that size in the temporary folder; its key.
    TrackKey file(const std::string& name, size_t size) {
        const Bytes content = randomBytes(size, size);
        std::ofstream(path(name), std::ios::binary)
            .write(reinterpret_cast<const char*>(content.data()),
                   static_cast<std::streamsize>(content.size()));
        return TrackKey::of(ByteView(content));
    }
    std::filesystem::path path(const std::string& name) { return device.folders().temp / name; }
    void start(const TrackKey& key, const std::string& name, int64_t offset, bool urgent) {
        scheduler->start(key, path(name), int64_t(std::filesystem::file_size(path(name))), offset,
                         urgent);
    }

    // Pulls up to n frames, decoding each as the speaker would.
    std::vector<Pulled> pull(int n = 1000) {
        std::vector<Pulled> pulled;
        for (int i = 0; i < n; ++i) {
            const std::optional<OutboundFrame> frame = scheduler->nextBulkFrame();
            if (!frame) {
                break;
            }
            EXPECT_TRUE(frame->isBulk);
            const Message message = FrameCodec::decodeFrame(ByteView(frame->bytes));
            if (const auto* chunk = message.as<TrackChunk>()) {
                pulled.emplace_back(chunk->key.hex(), chunk->offset, int64_t(chunk->data.size()));
            } else {
                pulled.emplace_back(message.as<TrackDone>()->key.hex(), -1, -1);
            }
        }
        world.runFor(1);
        return pulled;
    }

    SimWorld world;
    SimDevice device{world, "host"};
    std::shared_ptr<TransferScheduler> scheduler;
    std::vector<std::tuple<std::string, int64_t, int64_t, bool>> reports;
};

TEST_F(SchedulerTest, ChunksAFileWithProgressEverySixteenChunks) {
    const TrackKey small = file("small", 10'000);
    const std::string k = small.hex();
    start(small, "small", 0, true);
    EXPECT_EQ(pull(),
              (std::vector<Pulled>{{k, 0, 4096}, {k, 4096, 4096}, {k, 8192, 1808}, {k, -1, -1}}));

    fresh();
    const TrackKey big = file("big", 1'000'000);
    start(big, "big", 0, true);
    EXPECT_EQ(pull().size(), 246u); // 245 chunks and TRACK_DONE
    std::vector<std::tuple<std::string, int64_t, int64_t, bool>> expected;
    for (int64_t at = 0; at < 1'000'000; at += 65'536) {
        expected.emplace_back(big.hex(), at, 1'000'000, false);
    }
    expected.emplace_back(big.hex(), 1'000'000, 1'000'000, true);
    EXPECT_EQ(reports, expected);
}

TEST_F(SchedulerTest, CurrentTrackPreemptsPrefetchWhichResumesWhereItStopped) {
    const TrackKey next = file("next", 20'000);
    const TrackKey current = file("current", 6'000);
    const std::string n = next.hex();
    const std::string c = current.hex();
    start(next, "next", 0, false);
    EXPECT_EQ(pull(2).size(), 2u);
    start(current, "current", 0, true);
    EXPECT_EQ(pull(), (std::vector<Pulled>{{c, 0, 4096},
                                           {c, 4096, 1904},
                                           {c, -1, -1},
                                           {n, 8192, 4096},
                                           {n, 12288, 4096},
                                           {n, 16384, 3616},
                                           {n, -1, -1}}));

    // A new request for a track replaces its pump; cancelling drops it without a word.
    start(next, "next", 0, false);
    pull(1);
    start(next, "next", 16'384, false);
    EXPECT_EQ(pull(1), (std::vector<Pulled>{{n, 16384, 3616}}));
    scheduler->cancel([&](const TrackKey& key) { return key == next; });
    EXPECT_TRUE(pull().empty());
}

} // namespace
} // namespace merriphonic::host_test
