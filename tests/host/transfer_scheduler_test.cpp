// The transfer scheduler pulled directly, as a connection pulls it on the stream loop.
#include <gtest/gtest.h>

#include <algorithm>
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

// A frame as (name, chunk offset, chunk length); TRACK_DONE has no offset or length.
using Pulled = std::tuple<std::string, int64_t, int64_t>;

class SchedulerTest : public ::testing::Test {
protected:
    SchedulerTest() {
        scheduler->onProgress = [this](const std::string& key, int64_t sent, int64_t size,
                                       bool finished) {
            reports.emplace_back(key, sent, size, finished);
        };
    }

    TrackKey file(const std::string& name, size_t size) {
        const Bytes content = randomBytes(size, size);
        std::ofstream(path(name), std::ios::binary)
            .write(reinterpret_cast<const char*>(content.data()),
                   static_cast<std::streamsize>(content.size()));
        return TrackKey::of(ByteView(content));
    }
    std::filesystem::path path(const std::string& name) { return device.folders().temp / name; }

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
                pulled.emplace_back(chunk->key.hex() + " chunk", chunk->offset,
                                    int64_t(chunk->data.size()));
            } else {
                pulled.emplace_back(message.as<TrackDone>()->key.hex() + " done", -1, -1);
            }
        }
        world.runFor(1);
        return pulled;
    }

    SimWorld world;
    SimDevice device{world, "host"};
    std::shared_ptr<TransferScheduler> scheduler =
        std::make_shared<TransferScheduler>(device.context());
    std::vector<std::tuple<std::string, int64_t, int64_t, bool>> reports;
};

TEST_F(SchedulerTest, ChunksFromAnyOffsetWithProgressEverySixteenChunks) {
    EXPECT_TRUE(pull().empty()); // nothing to send: the connection sends only control frames

    const TrackKey small = file("small", 10'000);
    const std::string k = small.hex();
    scheduler->start(small, path("small"), 10'000, 0, true);
    EXPECT_EQ(pull(), (std::vector<Pulled>{{k + " chunk", 0, 4096},
                                           {k + " chunk", 4096, 4096},
                                           {k + " chunk", 8192, 1808},
                                           {k + " done", -1, -1}}));
    // Asking from the very end completes at once; an offset outside the file is clamped.
    scheduler->start(small, path("small"), 10'000, 10'000, true);
    EXPECT_EQ(pull(), (std::vector<Pulled>{{k + " done", -1, -1}}));
    EXPECT_TRUE(device.logSink().contains("send " + k + " from 10000/10000 (current)"));
    EXPECT_EQ(device.logSink().count("done " + k + " (10000 B)"), 2u);
    scheduler->start(small, path("small"), 10'000, 50'000, false);
    EXPECT_TRUE(device.logSink().contains("send " + k + " from 10000/10000 (prefetch)"));
    pull();

    reports.clear();
    SimDevice fresh(world, "fresh");
    scheduler = std::make_shared<TransferScheduler>(fresh.context());
    scheduler->onProgress = [this](const std::string& key, int64_t sent, int64_t size, bool end) {
        reports.emplace_back(key, sent, size, end);
    };
    const TrackKey big = file("big", 1'000'000);
    scheduler->start(big, path("big"), 1'000'000, 0, true);
    EXPECT_EQ(pull().size(), 246u); // 245 chunks and TRACK_DONE
    std::vector<int64_t> sent;
    for (const auto& [key, at, size, finished] : reports) {
        EXPECT_EQ(key, big.hex());
        EXPECT_EQ(size, 1'000'000);
        EXPECT_EQ(finished, at == 1'000'000);
        sent.push_back(at);
    }
    std::vector<int64_t> expected{0};
    for (int64_t at = 65'536; at < 1'000'000; at += 65'536) {
        expected.push_back(at);
    }
    expected.push_back(1'000'000);
    EXPECT_EQ(sent, expected);
}

TEST_F(SchedulerTest, CurrentTrackPreemptsPrefetchWhichResumesWhereItStopped) {
    const TrackKey next = file("next", 20'000);
    const TrackKey current = file("current", 6'000);
    const std::string n = next.hex();
    const std::string c = current.hex();
    scheduler->start(next, path("next"), 20'000, 0, false);
    EXPECT_EQ(pull(2).size(), 2u);
    scheduler->start(current, path("current"), 6'000, 0, true);
    EXPECT_EQ(pull(), (std::vector<Pulled>{{c + " chunk", 0, 4096},
                                           {c + " chunk", 4096, 1904},
                                           {c + " done", -1, -1},
                                           {n + " chunk", 8192, 4096},
                                           {n + " chunk", 12288, 4096},
                                           {n + " chunk", 16384, 3616},
                                           {n + " done", -1, -1}}));

    // A new request for a track replaces its pump; cancelling drops it without a word.
    scheduler->start(next, path("next"), 20'000, 0, false);
    pull(1);
    scheduler->start(next, path("next"), 20'000, 16'384, false);
    EXPECT_EQ(pull(1), (std::vector<Pulled>{{n + " chunk", 16384, 3616}}));
    scheduler->cancel([&](const TrackKey& key) { return key == next; });
    EXPECT_TRUE(pull().empty());
}

TEST_F(SchedulerTest, FileShrinkingUnderThePumpEndsThatTransferOnly) {
    const TrackKey shrinking = file("shrinking", 12'288);
    const TrackKey other = file("other", 100);
    const std::string s = shrinking.hex();
    scheduler->start(shrinking, path("shrinking"), 12'288, 0, true);
    scheduler->start(other, path("other"), 100, 0, false);
    EXPECT_EQ(pull(1).size(), 1u);
    std::filesystem::resize_file(path("shrinking"), 5'000);
    EXPECT_EQ(pull(), (std::vector<Pulled>{{s + " chunk", 4096, 904},
                                           {other.hex() + " chunk", 0, 100},
                                           {other.hex() + " done", -1, -1}}));
    EXPECT_TRUE(device.logSink().contains("pump " + s + ": short read at 5000"));
    EXPECT_TRUE(std::find(reports.begin(), reports.end(),
                          std::make_tuple(s, int64_t{5'000}, int64_t{12'288}, true)) !=
                reports.end());

    // A file that is gone: logged, no TRACK_DONE.
    scheduler->start(shrinking, path("missing"), 12'288, 0, true);
    EXPECT_TRUE(pull().empty());
    EXPECT_TRUE(device.logSink().contains("pump " + s + ": open "));
}

} // namespace
} // namespace merriphonic::host_test
