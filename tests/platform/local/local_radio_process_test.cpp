#include <sys/wait.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "core/json_parser.h"
#include "core/sync_protocol.h"
#include "local_test_support.h"
#include "platform/local/local_central_manager.h"
#include "platform/local/local_rendezvous.h"
#include "transport/connection.h"

namespace merriphonic {
namespace {

using local_test::CentralEvent;
using local_test::HostProcess;
using local_test::mainLoop;
using local_test::RecordingCentral;
using local_test::runMainLoopUntil;
using local_test::ScopedRuntimeDir;
using local_test::TempFolder;
using Kind = CentralEvent::Kind;

const std::string service(SyncProtocol::serviceUUID);
const std::string psmUuid(SyncProtocol::psmCharacteristicUUID);
const std::string infoUuid(SyncProtocol::infoCharacteristicUUID);

struct Advertised {
    std::string id;
    uint16_t psm = 0;
};

// "<instance id> <psm>" as the host prints it once it advertises.
std::optional<Advertised> advertised(HostProcess& host) {
    const auto line = host.waitForLine("advertising ");
    if (!line || line->size() < 38) {
        return std::nullopt;
    }
    return Advertised{line->substr(0, 36), static_cast<uint16_t>(std::stoi(line->substr(37)))};
}

class LocalRadioProcessTest : public ::testing::Test {
protected:
    LocalRadioProcessTest() { std::filesystem::create_directory(runtimePath); }

    TempFolder temp;
    std::filesystem::path runtimePath = temp.path() / "run";
    ScopedRuntimeDir runtime{runtimePath.string()};
    LocalRendezvous rendezvous{runtimePath / LocalRendezvous::folderName};
    std::shared_ptr<RecordingCentral> events = std::make_shared<RecordingCentral>();
};

TEST_F(LocalRadioProcessTest, SpeakerJoinsAHostInAnotherProcessAndFramesFlowBothWays) {
    HostProcess host(runtimePath, temp.path() / "host", "Kitchen");
    const auto party = advertised(host);
    ASSERT_TRUE(party) << "host output: " << ::testing::PrintToString(host.lines());

    LocalCentralManager central(mainLoop(), events);
    central.scan({service}, true);
    const auto found = events->waitFor(Kind::discovered, party->id);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->advertisement.localName, "Kitchen");
    central.stopScan();

    const auto peripheral = events->peripherals.at(party->id);
    central.connect(peripheral);
    ASSERT_TRUE(events->waitFor(Kind::connected, party->id));
    peripheral->discoverServices({service});
    ASSERT_TRUE(events->waitFor(Kind::servicesDiscovered, party->id));
    EXPECT_EQ(peripheral->services(), std::vector{service});
    peripheral->discoverCharacteristics({psmUuid, infoUuid}, service);
    ASSERT_TRUE(events->waitFor(Kind::characteristicsDiscovered, party->id));
    EXPECT_EQ(peripheral->characteristics(service), (std::vector{psmUuid, infoUuid}));

    size_t mark = events->events.size();
    peripheral->readValue(service, psmUuid);
    const auto psmValue = events->waitFor(Kind::valueUpdated, party->id, mark);
    ASSERT_TRUE(psmValue && psmValue->value);
    ASSERT_EQ(psmValue->value->size(), 2u);
    EXPECT_EQ((*psmValue->value)[0] | ((*psmValue->value)[1] << 8), party->psm);
    mark = events->events.size();
    peripheral->readValue(service, infoUuid);
    const auto infoValue = events->waitFor(Kind::valueUpdated, party->id, mark);
    ASSERT_TRUE(infoValue && infoValue->value);
    const JSONValue info = JSONParser::parse(*infoValue->value);
    ASSERT_NE(info["name"], nullptr);
    EXPECT_EQ(*info["name"]->stringValue(), "Kitchen");

    // A PSM the host does not offer fails; its own opens the channel.
    mark = events->events.size();
    peripheral->openL2capChannel(party->psm == 0x00FF ? 0x0080 : party->psm + 1);
    const auto refused = events->waitFor(Kind::channelOpened, party->id, mark);
    ASSERT_TRUE(refused && refused->error);
    EXPECT_FALSE(refused->channel);
    mark = events->events.size();
    peripheral->openL2capChannel(party->psm);
    const auto opened = events->waitFor(Kind::channelOpened, party->id, mark);
    ASSERT_TRUE(opened && opened->channel)
        << (opened && opened->error ? opened->error->description : "");
    EXPECT_EQ(opened->channel->peerId, party->id);
    EXPECT_EQ(host.waitForLine("channel "), central.instanceId());

    // Enough bulk both ways that the socket buffers fill and writes resume part-way.
    auto device = local_test::makeDevice(temp.path() / "speaker");
    std::vector<Message> received;
    std::optional<std::string> closeReason;
    auto connection = Connection::create(device->context(), opened->channel->streams, "speaker");
    connection->onMessage = [&](const Message& message, int64_t) { received.push_back(message); };
    connection->onClose = [&](const std::string& reason) { closeReason = reason; };
    connection->start();
    connection->enqueue(OutboundFrame(Message(Hello{1, central.instanceId(), "Den", "linux"})));
    connection->enqueue(OutboundFrame::ping(7));
    std::mt19937 random(42);
    std::vector<TrackChunk> chunks;
    const TrackKey key = TrackKey::of(ByteView(reinterpret_cast<const uint8_t*>("song"), 4));
    for (uint32_t index = 0; index < 64; ++index) {
        TrackChunk chunk{key, index * SyncProtocol::chunkDataSize,
                         Bytes(SyncProtocol::chunkDataSize)};
        std::generate(chunk.data.begin(), chunk.data.end(),
                      [&] { return static_cast<uint8_t>(random()); });
        connection->enqueue(OutboundFrame(Message(chunk)));
        chunks.push_back(std::move(chunk));
    }
    connection->enqueue(OutboundFrame(Message(TrackDone{key})));
    ASSERT_TRUE(runMainLoopUntil([&] {
        return closeReason || (!received.empty() && received.back().is<TrackDone>());
    })) << received.size()
        << " messages";
    ASSERT_FALSE(closeReason) << *closeReason;

    // The PONG is written by the host's stream thread, the WELCOME by its main thread: either
    // may come first. The echoed chunks follow in order.
    ASSERT_EQ(received.size(), 2 + chunks.size() + 1);
    const auto welcome = std::find_if(received.begin(), received.begin() + 2,
                                      [](const Message& m) { return m.is<Welcome>(); });
    const auto pong = std::find_if(received.begin(), received.begin() + 2,
                                   [](const Message& m) { return m.is<Pong>(); });
    ASSERT_NE(welcome, received.begin() + 2);
    ASSERT_NE(pong, received.begin() + 2);
    EXPECT_EQ(welcome->as<Welcome>()->name, "Kitchen");
    EXPECT_EQ(welcome->as<Welcome>()->hostId, party->id);
    EXPECT_EQ(pong->as<Pong>()->seq, 7u);
    for (size_t index = 0; index < chunks.size(); ++index) {
        EXPECT_EQ(received[2 + index], Message(chunks[index])) << "chunk " << index;
    }

    // The host quits cleanly: its end of the channel closes, its record goes, the link drops.
    mark = events->events.size();
    const int status = host.quit();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
    ASSERT_TRUE(runMainLoopUntil([&] { return closeReason.has_value(); }));
    connection.reset();
    local_test::drainStreams();
    EXPECT_TRUE(events->waitFor(Kind::disconnected, party->id, mark));
    EXPECT_FALSE(std::filesystem::exists(rendezvous.recordPath(party->id)));
}

TEST_F(LocalRadioProcessTest, TwoHostsAreListedAndAKilledOneIsForgotten) {
    HostProcess first(runtimePath, temp.path() / "first", "First");
    const auto one = advertised(first);
    ASSERT_TRUE(one) << ::testing::PrintToString(first.lines());
    HostProcess second(runtimePath, temp.path() / "second", "Second");
    const auto two = advertised(second);
    ASSERT_TRUE(two) << ::testing::PrintToString(second.lines());
    EXPECT_NE(one->id, two->id);
    EXPECT_NE(one->psm, two->psm);

    LocalCentralManager central(mainLoop(), events);
    central.scan({service}, true);
    ASSERT_TRUE(runMainLoopUntil([&] {
        return events->count(Kind::discovered, one->id) >= 2 &&
               events->count(Kind::discovered, two->id) >= 2;
    }));
    central.connect(events->peripherals.at(one->id));
    ASSERT_TRUE(events->waitFor(Kind::connected, one->id));

    // Killed without a chance to clean up: its record stays behind until a reader sees the
    // process is gone.
    size_t mark = events->events.size();
    first.kill();
    const auto dropped = events->waitFor(Kind::disconnected, one->id, mark);
    ASSERT_TRUE(dropped && dropped->error);
    EXPECT_EQ(dropped->error->description, "the host has gone away");
    EXPECT_FALSE(std::filesystem::exists(rendezvous.recordPath(one->id)));

    // From here on only the live host is reported, and the dead one cannot be joined.
    const size_t firstReports = events->count(Kind::discovered, one->id);
    const size_t secondReports = events->count(Kind::discovered, two->id);
    ASSERT_TRUE(runMainLoopUntil(
        [&] { return events->count(Kind::discovered, two->id) >= secondReports + 3; }));
    EXPECT_LE(events->count(Kind::discovered, one->id), firstReports + 1);
    mark = events->events.size();
    central.connect(events->peripherals.at(one->id));
    const auto failed = events->waitFor(Kind::failedToConnect, one->id, mark);
    ASSERT_TRUE(failed && failed->error);
    EXPECT_EQ(failed->error->description, "the host has gone away");

    const int status = second.quit();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
}

} // namespace
} // namespace merriphonic
