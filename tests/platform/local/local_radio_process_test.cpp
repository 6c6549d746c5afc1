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

namespace merriphonic::test {
namespace {

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
        ADD_FAILURE() << "host output: " << ::testing::PrintToString(host.lines());
        return std::nullopt;
    }
    return Advertised{line->substr(0, 36), static_cast<uint16_t>(std::stoi(line->substr(37)))};
}

bool exitedCleanly(int status) {
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

class LocalRadioProcessTest : public ::testing::Test {
protected:
    LocalRadioProcessTest() { std::filesystem::create_directory(runtimePath); }

    TempFolder temp;
    std::filesystem::path runtimePath = temp.path() / "run";
    ScopedEnv runtime{"XDG_RUNTIME_DIR", runtimePath.string()};
    LocalRendezvous rendezvous{runtimePath / LocalRendezvous::folderName};
    std::shared_ptr<RecordingCentral> events = std::make_shared<RecordingCentral>();
};

TEST_F(LocalRadioProcessTest, SpeakerJoinsAHostInAnotherProcessAndFramesFlowBothWays) {
    HostProcess host(temp.path() / "host", "Kitchen");
    const auto party = advertised(host);
    ASSERT_TRUE(party);

    LocalCentralManager central(mainLoop(), events);
    central.scan({service}, true);
    const auto found = events->waitFor(Kind::discovered, party->id);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->advertisement.localName, "Kitchen");
    central.stopScan();

    const auto peripheral = events->peripherals.at(party->id);
    const auto next = [&](const std::function<void()>& action, Kind kind) {
        return events->after(action, kind, party->id);
    };
    ASSERT_TRUE(next([&] { central.connect(peripheral); }, Kind::connected));
    ASSERT_TRUE(next([&] { peripheral->discoverServices({service}); }, Kind::servicesDiscovered));
    EXPECT_EQ(peripheral->services(), std::vector{service});
    ASSERT_TRUE(next(
        [&] {
            peripheral->discoverCharacteristics({psmUuid, infoUuid}, service);
        },
        Kind::characteristicsDiscovered));
    EXPECT_EQ(peripheral->characteristics(service), (std::vector{psmUuid, infoUuid}));

    const auto psmValue =
        next([&] { peripheral->readValue(service, psmUuid); }, Kind::valueUpdated);
    ASSERT_TRUE(psmValue && psmValue->value);
    EXPECT_EQ(*psmValue->value, (Bytes{static_cast<uint8_t>(party->psm & 0xFF),
                                       static_cast<uint8_t>(party->psm >> 8)}));
    const auto infoValue =
        next([&] { peripheral->readValue(service, infoUuid); }, Kind::valueUpdated);
    ASSERT_TRUE(infoValue && infoValue->value);
    const JSONValue info = JSONParser::parse(*infoValue->value);
    ASSERT_NE(info["name"], nullptr);
    EXPECT_EQ(*info["name"]->stringValue(), "Kitchen");

    // A PSM the host does not offer fails; its own opens the channel.
    const uint16_t otherPsm = party->psm == 0x00FF ? 0x0080 : party->psm + 1;
    const auto refused = next([&] { peripheral->openL2capChannel(otherPsm); }, Kind::channelOpened);
    ASSERT_TRUE(refused && refused->error);
    EXPECT_FALSE(refused->channel);
    const auto opened =
        next([&] { peripheral->openL2capChannel(party->psm); }, Kind::channelOpened);
    ASSERT_TRUE(opened && opened->channel)
        << (opened && opened->error ? opened->error->description : "");
    EXPECT_EQ(opened->channel->peerId, party->id);
    EXPECT_EQ(host.waitForLine("channel "), central.instanceId());

    // Enough bulk both ways that the socket buffers fill and writes resume part-way.
    auto device = makeDevice(temp.path() / "speaker");
    std::vector<Message> received;
    std::optional<std::string> closeReason;
    auto connection = Connection::create(device->context(), opened->channel->streams, "speaker");
    connection->onMessage = [&](const Message& message, int64_t) { received.push_back(message); };
    connection->onClose = [&](const std::string& reason) { closeReason = reason; };
    connection->start();
    connection->enqueue(OutboundFrame(Message(Hello{1, central.instanceId(), "Den", "linux"})));
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

    // The WELCOME, then the echoed chunks in order.
    ASSERT_EQ(received.size(), 1 + chunks.size() + 1);
    ASSERT_TRUE(received[0].is<Welcome>());
    EXPECT_EQ(received[0].as<Welcome>()->name, "Kitchen");
    EXPECT_EQ(received[0].as<Welcome>()->hostId, party->id);
    for (size_t index = 0; index < chunks.size(); ++index) {
        EXPECT_EQ(received[1 + index], Message(chunks[index])) << "chunk " << index;
    }

    // The host quits cleanly: its end of the channel closes, its record goes, the link drops.
    const size_t mark = events->events.size();
    EXPECT_TRUE(exitedCleanly(host.quit()));
    ASSERT_TRUE(runMainLoopUntil([&] { return closeReason.has_value(); }));
    connection.reset();
    drainStreams();
    EXPECT_TRUE(events->waitFor(Kind::disconnected, party->id, mark));
    EXPECT_FALSE(std::filesystem::exists(rendezvous.recordPath(party->id)));
}

TEST_F(LocalRadioProcessTest, TwoHostsAreListedAndAKilledOneIsForgotten) {
    HostProcess first(temp.path() / "first", "First");
    const auto one = advertised(first);
    ASSERT_TRUE(one);
    HostProcess second(temp.path() / "second", "Second");
    const auto two = advertised(second);
    ASSERT_TRUE(two);
    EXPECT_NE(one->id, two->id);
    EXPECT_NE(one->psm, two->psm);

    LocalCentralManager central(mainLoop(), events);
    central.scan({service}, true);
    ASSERT_TRUE(runMainLoopUntil([&] {
        return events->count(Kind::discovered, one->id) >= 2 &&
               events->count(Kind::discovered, two->id) >= 2;
    }));
    const auto gone = events->peripherals.at(one->id);
    ASSERT_TRUE(events->after([&] { central.connect(gone); }, Kind::connected, one->id));

    // Killed without a chance to clean up: its record stays behind until a reader sees the
    // process is gone.
    const auto dropped = events->after([&] { first.kill(); }, Kind::disconnected, one->id);
    ASSERT_TRUE(dropped && dropped->error);
    EXPECT_EQ(dropped->error->description, "the host has gone away");
    EXPECT_FALSE(std::filesystem::exists(rendezvous.recordPath(one->id)));

    // From here on only the live host is reported, and the dead one cannot be joined.
    const size_t firstReports = events->count(Kind::discovered, one->id);
    const size_t secondReports = events->count(Kind::discovered, two->id);
    ASSERT_TRUE(runMainLoopUntil(
        [&] { return events->count(Kind::discovered, two->id) >= secondReports + 3; }));
    EXPECT_LE(events->count(Kind::discovered, one->id), firstReports + 1);
    const auto failed =
        events->after([&] { central.connect(gone); }, Kind::failedToConnect, one->id);
    ASSERT_TRUE(failed && failed->error);
    EXPECT_EQ(failed->error->description, "the host has gone away");

    EXPECT_TRUE(exitedCleanly(second.quit()));
}

} // namespace
} // namespace merriphonic::test
