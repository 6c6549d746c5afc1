#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/frame_codec.h"
#include "core/sync_protocol.h"
#include "local_test_support.h"
#include "platform/local/local_central_manager.h"
#include "platform/local/local_hello.h"
#include "platform/local/local_peripheral_manager.h"
#include "platform/local/local_radio_factory.h"
#include "platform/local/local_rendezvous.h"
#include "transport/connection.h"

namespace merriphonic::test {
namespace {

using Kind = CentralEvent::Kind;

const std::string service(SyncProtocol::serviceUUID);

// A raw speaker: a client socket connected to a host's channel socket, having sent `text`.
int connectTo(const std::string& path, const std::string& text = {}) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        ::close(fd);
        return -1;
    }
    EXPECT_EQ(::send(fd, text.data(), text.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(text.size()));
    return fd;
}

// A host in this process: publishes, adds one service and advertises it under a name.
struct LocalHost {
    std::shared_ptr<RecordingPeripheral> events = std::make_shared<RecordingPeripheral>();
    std::unique_ptr<LocalPeripheralManager> manager =
        std::make_unique<LocalPeripheralManager>(mainLoop(), events);

    uint16_t publish() {
        manager->publishChannel(false);
        EXPECT_TRUE(runMainLoopUntil([&] { return !events->published.empty(); }));
        EXPECT_FALSE(events->published.back().second);
        return events->published.back().first;
    }

    void advertise(const std::string& uuid, const std::string& name, bool start = true) {
        manager->addService(
            {uuid, true, {{std::string(SyncProtocol::psmCharacteristicUUID), {0x81, 0x00}}}});
        if (start) {
            manager->startAdvertising({{uuid}, name});
        }
        EXPECT_TRUE(runMainLoopUntil([&] {
            return !events->servicesAdded.empty() && (!start || !events->advertising.empty());
        }));
    }
};

class LocalRadioTest : public ::testing::Test {
protected:
    LocalRadioTest() { std::filesystem::create_directory(runtimePath); }

    TempFolder temp;
    std::filesystem::path runtimePath = temp.path() / "run";
    ScopedEnv runtime{"XDG_RUNTIME_DIR", runtimePath.string()};
    LocalRendezvous rendezvous{runtimePath / LocalRendezvous::folderName};
};

TEST_F(LocalRadioTest, StateIsOnOnlyWithAUsableRuntimeFolder) {
    std::ofstream(temp.path() / "file") << "";
    const std::vector<std::optional<std::string>> unusable{std::nullopt, "relative/run",
                                                           (temp.path() / "missing").string(),
                                                           (temp.path() / "file").string()};
    for (const auto& value : unusable) {
        SCOPED_TRACE(value.value_or("(unset)"));
        const ScopedEnv override("XDG_RUNTIME_DIR", value);
        LocalRadioFactory factory;
        auto peripheralEvents = std::make_shared<RecordingPeripheral>();
        auto centralEvents = std::make_shared<RecordingCentral>();
        auto peripheral = factory.makePeripheralManager(mainLoop(), peripheralEvents);
        auto central = factory.makeCentralManager(mainLoop(), centralEvents);
        EXPECT_EQ(peripheral->state(), RadioState::unsupported);
        EXPECT_EQ(central->state(), RadioState::unsupported);
        // Reported later, never from inside the call.
        EXPECT_TRUE(peripheralEvents->states.empty());

        peripheral->publishChannel(false);
        peripheral->addService({service, true, {}});
        peripheral->startAdvertising({{service}, "Party"});
        central->scan({service}, true);
        ASSERT_TRUE(runMainLoopUntil([&] {
            return !centralEvents->states.empty() && !peripheralEvents->advertising.empty();
        }));
        EXPECT_EQ(peripheralEvents->states, std::vector{RadioState::unsupported});
        EXPECT_EQ(centralEvents->states, std::vector{RadioState::unsupported});
        ASSERT_EQ(peripheralEvents->published.size(), 1u);
        ASSERT_TRUE(peripheralEvents->published[0].second);
        EXPECT_NE(peripheralEvents->published[0].second->description.find("unavailable"),
                  std::string::npos);
        EXPECT_TRUE(peripheralEvents->servicesAdded.at(0));
        EXPECT_TRUE(peripheralEvents->advertising.at(0));
        EXPECT_FALSE(peripheral->isAdvertising());
        EXPECT_FALSE(central->isScanning());
    }

    auto events = std::make_shared<RecordingCentral>();
    LocalCentralManager central(mainLoop(), events);
    EXPECT_EQ(central.state(), RadioState::poweredOn);
    ASSERT_TRUE(runMainLoopUntil([&] { return !events->states.empty(); }));
    EXPECT_EQ(events->states, std::vector{RadioState::poweredOn});
    struct stat info {};
    ASSERT_EQ(::stat(rendezvous.folder().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
}

TEST_F(LocalRadioTest, ChannelsAreHandedOverOnlyOnceTheSpeakerHasNamedItself) {
    auto device = makeDevice(temp.path() / "device");
    LocalHost host;
    const uint16_t psm = host.publish();
    EXPECT_GE(psm, LocalPeripheralManager::firstPsm);
    EXPECT_LE(psm, LocalPeripheralManager::lastPsm);
    const auto record = rendezvous.liveRecord(host.manager->instanceId());
    ASSERT_TRUE(record && record->channel(psm));
    const std::string socketPath = record->channel(psm)->socketPath;

    // The greeting and the first frame in one write: not a byte of the frame may be lost.
    const Bytes frame = FrameCodec::encode(Hello{1, "speaker-id", "Den", "linux"});
    const int good =
        connectTo(socketPath, LocalHello::line("0a1b2c3d-0000-4000-8000-00000000000f") +
                                  std::string(frame.begin(), frame.end()));
    ASSERT_GE(good, 0);
    const int rude = connectTo(socketPath, "HELLO THERE\n");
    ::close(connectTo(socketPath));
    const int chatty = connectTo(socketPath, std::string(LocalHello::maxLength + 10, 'x'));

    ASSERT_TRUE(runMainLoopUntil([&] { return host.events->channels.size() == 4; }));
    std::shared_ptr<L2capChannel> channel;
    int failures = 0;
    for (const auto& [opened, error] : host.events->channels) {
        EXPECT_NE(opened == nullptr, !error);
        if (opened) {
            channel = opened;
        } else {
            EXPECT_FALSE(error->description.empty());
            ++failures;
        }
    }
    EXPECT_EQ(failures, 3);
    ASSERT_TRUE(channel);
    EXPECT_EQ(channel->peerId, "0A1B2C3D-0000-4000-8000-00000000000F");

    std::vector<Message> received;
    auto connection = Connection::create(device->context(), channel->streams, "host");
    connection->onMessage = [&](const Message& message, int64_t) { received.push_back(message); };
    bool closed = false;
    connection->onClose = [&](const std::string&) { closed = true; };
    connection->start();
    ASSERT_TRUE(runMainLoopUntil([&] { return !received.empty(); }));
    EXPECT_EQ(received[0], Message(Hello{1, "speaker-id", "Den", "linux"}));
    for (const int fd : {good, rude, chatty}) {
        ::close(fd);
    }
    ASSERT_TRUE(runMainLoopUntil([&] { return closed; }));
    connection.reset();
    drainStreams();

    // Withdrawn: the socket goes, the record no longer offers it, a second withdrawal fails.
    host.manager->unpublishChannel(psm);
    host.manager->unpublishChannel(psm);
    ASSERT_TRUE(runMainLoopUntil([&] { return host.events->unpublished.size() == 2; }));
    EXPECT_FALSE(host.events->unpublished[0].second);
    EXPECT_TRUE(host.events->unpublished[1].second);
    EXPECT_EQ(connectTo(socketPath), -1);
    EXPECT_TRUE(rendezvous.liveRecord(host.manager->instanceId())->channels.empty());

    const std::string id = host.manager->instanceId();
    host.manager.reset();
    EXPECT_FALSE(std::filesystem::exists(rendezvous.recordPath(id)));
}

TEST_F(LocalRadioTest, ScanReportsLiveAdvertisersOfTheWantedServiceOnly) {
    LocalHost named;
    LocalHost nameless;
    LocalHost otherKind;
    LocalHost quiet;
    named.advertise(service, "  Kitchen ");
    nameless.advertise(service, "");
    otherKind.advertise("0000180D-0000-1000-8000-00805F9B34FB", "Gym");
    quiet.advertise(service, "Quiet", false);
    const std::string namedId = named.manager->instanceId();
    const std::string namelessId = nameless.manager->instanceId();

    auto everyTime = std::make_shared<RecordingCentral>();
    auto once = std::make_shared<RecordingCentral>();
    LocalCentralManager repeating(mainLoop(), everyTime);
    LocalCentralManager single(mainLoop(), once);
    repeating.scan({service}, true);
    // UUIDs match whatever their case.
    single.scan({service.substr(0, 8) + "-5c3b-4f1e-9a51-3b6c2f0e1a00"}, false);
    EXPECT_TRUE(repeating.isScanning());
    ASSERT_TRUE(runMainLoopUntil([&] {
        return everyTime->count(Kind::discovered, namedId) >= 3 &&
               everyTime->count(Kind::discovered, namelessId) >= 3;
    }));
    for (const auto& event : everyTime->events) {
        ASSERT_TRUE(event.peripheralId == namedId || event.peripheralId == namelessId)
            << event.peripheralId;
        EXPECT_EQ(event.rssi, LocalCentralManager::rssi);
        EXPECT_EQ(event.advertisement.serviceUuids, std::vector{service});
        EXPECT_EQ(event.advertisement.localName, event.peripheralId == namedId
                                                     ? std::optional<std::string>("  Kitchen ")
                                                     : std::nullopt);
    }
    EXPECT_EQ(once->count(Kind::discovered, namedId), 1u);
    EXPECT_EQ(once->count(Kind::discovered), 2u);

    // Stopped advertising: gone from the next rescan on, while the other host goes on.
    named.manager->stopAdvertising();
    const auto reportsAfter = [&](size_t more) {
        const size_t target = everyTime->count(Kind::discovered, namelessId) + more;
        return runMainLoopUntil(
            [&] { return everyTime->count(Kind::discovered, namelessId) >= target; });
    };
    ASSERT_TRUE(reportsAfter(2));
    const size_t namedReports = everyTime->count(Kind::discovered, namedId);
    ASSERT_TRUE(reportsAfter(3));
    EXPECT_EQ(everyTime->count(Kind::discovered, namedId), namedReports);

    // Still known and connectable while not advertising.
    repeating.stopScan();
    EXPECT_FALSE(repeating.isScanning());
    const auto retrieved = repeating.retrievePeripherals({"not-a-uuid", namedId});
    ASSERT_EQ(retrieved.size(), 1u);
    EXPECT_EQ(retrieved[0], everyTime->peripherals.at(namedId));
    repeating.connect(retrieved[0]);
    EXPECT_TRUE(everyTime->waitFor(Kind::connected, namedId));
}

} // namespace
} // namespace merriphonic::test
