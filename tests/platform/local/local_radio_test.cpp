#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/local/local_central_manager.h"
#include "platform/local/local_hello.h"
#include "platform/local/local_peripheral_manager.h"
#include "platform/local/local_rendezvous.h"
#include "tests/platform/radio_contract.h"
#include "tests/support/qt_test_support.h"

namespace merriphonic::radio_test {
namespace {

// Two managers of the same-machine radio in this process, meeting in a rendezvous folder of
// the test; channel streams run on the main loop.
struct LocalRadios {
    static constexpr bool canPowerCycle = false;

    LocalRadios() { options.streams = &test::mainLoop(); }
    void makeUnusable() { options.folder = temp.path() / "missing" / "run"; }
    std::unique_ptr<PeripheralManager> makeHost(const std::shared_ptr<RadioRecorder>& recorder) {
        auto manager =
            std::make_unique<LocalPeripheralManager>(test::mainLoop(), recorder, options);
        hostManager = manager.get();
        return manager;
    }
    std::unique_ptr<CentralManager> makeSpeaker(const std::shared_ptr<RadioRecorder>& recorder) {
        auto manager = std::make_unique<LocalCentralManager>(test::mainLoop(), recorder, options);
        central = manager.get();
        return manager;
    }
    bool runUntil(const std::function<bool()>& done) {
        return test::runMainLoopUntil(done, std::chrono::seconds(20));
    }
    void runFor(int64_t ms) { test::runMainLoopFor(std::chrono::milliseconds(ms)); }
    void setPowered(bool /*host*/, bool /*on*/) {}
    [[nodiscard]] std::string speakerIdAtHost() const { return central->instanceId(); }
    static RunLoop& streams(bool /*host*/) { return test::mainLoop(); }

    test::TempFolder temp;
    LocalRendezvous rendezvous{temp.path() / "run"};
    LocalRadioOptions options{rendezvous.folder()};
    LocalPeripheralManager* hostManager = nullptr;
    LocalCentralManager* central = nullptr;
};

INSTANTIATE_TYPED_TEST_SUITE_P(Local, RadioContract, LocalRadios);

using LocalRadioTest = RadioContract<LocalRadios>;

// No process has this pid: Linux pids stay below 2^22.
constexpr int64_t goneProcess = 0x7FFFFFFF;

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

TEST_F(LocalRadioTest, ChannelsAreHandedOverOnceTheSpeakerHasNamedItselfAndWithdrawnWithTheRecord) {
    start();
    const uint16_t psm =
        next(*host, Kind::published, [&] { hostManager->publishChannel(false); }).psm;
    const std::string id = radios.hostManager->instanceId();
    const auto record = radios.rendezvous.liveRecord(id);
    ASSERT_TRUE(record && record->channel(psm));
    const std::string socketPath = record->channel(psm)->socketPath;

    // The greeting and the first bytes in one write: not a byte after the greeting is lost.
    const int good =
        connectTo(socketPath, LocalHello::line("0a1b2c3d-0000-4000-8000-00000000000f") + "first");
    const int rude = connectTo(socketPath, "HELLO THERE\n");
    ::close(connectTo(socketPath));
    const int chatty = connectTo(socketPath, std::string(LocalHello::maxLength + 10, 'x'));
    ASSERT_TRUE(radios.runUntil([&] { return host->count(Kind::hostChannel) == 4; }));
    std::shared_ptr<L2capChannel> channel;
    for (const RadioEvent& event : host->events) {
        if (event.kind == Kind::hostChannel) {
            EXPECT_NE(event.channel == nullptr, !event.error);
            channel = event.channel ? event.channel : channel;
        }
    }
    ASSERT_TRUE(channel);
    EXPECT_EQ(channel->peerId, "0A1B2C3D-0000-4000-8000-00000000000F");
    const auto end = test::StreamEndpoint::open(channel->streams, test::mainLoop());
    EXPECT_TRUE(radios.runUntil([&] {
        return end->seen().received == Bytes{'f', 'i', 'r', 's', 't'};
    }));
    for (const int fd : {good, rude, chatty}) {
        ::close(fd);
    }

    // Withdrawn: the socket and its entry in the record go; the record goes with the manager.
    next(*host, Kind::unpublished, [&] { hostManager->unpublishChannel(psm); });
    EXPECT_EQ(connectTo(socketPath), -1);
    EXPECT_TRUE(radios.rendezvous.liveRecord(id)->channels.empty());
    hostManager.reset();
    EXPECT_FALSE(std::filesystem::exists(radios.rendezvous.recordPath(id)));
}

// A host killed without a chance to clean up leaves its record behind, naming a process that
// is gone: its speakers lose it, and the record goes once a reader sees that.
TEST_F(LocalRadioTest, AHostWhoseProcessIsGoneIsForgotten) {
    start();
    advertise();
    const auto other = connect();
    ASSERT_TRUE(other);
    LocalRecord record = *radios.rendezvous.liveRecord(other->identifier());
    record.pid = goneProcess;
    ASSERT_TRUE(radios.rendezvous.write(record));
    EXPECT_EQ(next(*speaker, Kind::disconnected, [] {}).error->description,
              "the host has gone away");
    EXPECT_FALSE(std::filesystem::exists(radios.rendezvous.recordPath(other->identifier())));
    EXPECT_EQ(next(*speaker, Kind::failedToConnect, [&] { speakerManager->connect(other); })
                  .error->description,
              "the host has gone away");
}

LocalRecord sampleRecord(const std::string& instanceId) {
    LocalRecord record;
    record.instanceId = instanceId;
    record.pid = ::getpid();
    record.processStart = LocalRendezvous::processStart(::getpid()).value_or(0);
    record.advertising = true;
    record.advertisement = {{service}, "Kitchen \"party\""};
    record.services = {{service, true, {{psmUuid, {0x81, 0x00}}, {infoUuid, {}}}}};
    record.channels = {{0x81, "/tmp/x.sock"}};
    return record;
}

TEST(LocalRecordTest, RecordsAndHellosRoundTripAndAnythingElseIsRejected) {
    const LocalRecord record = sampleRecord("0A1B2C3D-0000-4000-8000-00000000000F");
    const Bytes json = record.toJson();
    EXPECT_EQ(LocalRecord::fromJson(json), record);
    const auto changed = [&](std::string_view from, std::string_view to) {
        std::string text(json.begin(), json.end());
        text.replace(text.find(from), from.size(), to);
        return LocalRecord::fromJson(Bytes(text.begin(), text.end()));
    };
    // UUIDs of either case are read back upper-case; lookups ignore case.
    const auto lowered = changed("7D2EA4A1", "7d2ea4a1");
    ASSERT_TRUE(lowered);
    EXPECT_EQ(*lowered, record);
    EXPECT_NE(lowered->characteristic(lowerCase(service), "7D2EA4A1-5c3b-4f1e-9a51-3b6c2f0e1a00"),
              nullptr);
    EXPECT_EQ(lowered->channel(0x82), nullptr);
    for (const auto& [from, to] : std::vector<std::pair<std::string_view, std::string_view>>{
             {"\"format\":1", "\"format\":2"},
             {"\"8100\"", "\"81x0\""},
             {"\"psm\":129", "\"psm\":70000"},
             {"0A1B2C3D-", "0A1B2C3D"}}) {
        EXPECT_FALSE(changed(from, to)) << to;
    }

    const std::string id = record.instanceId;
    const std::string line = LocalHello::line(id);
    ASSERT_EQ(line.back(), '\n');
    EXPECT_LE(line.size() - 1, LocalHello::maxLength);
    EXPECT_EQ(LocalHello::parse(line.substr(0, line.size() - 1)), id);
    EXPECT_EQ(LocalHello::parse("MPLOCAL1 0a1b2c3d-0000-4000-8000-00000000000f"), id);
    for (const std::string& wrong : {"MPLOCAL2 " + id, "MPLOCAL1 " + id + " ", std::string()}) {
        EXPECT_FALSE(LocalHello::parse(wrong)) << wrong;
    }
}

TEST(LocalRendezvousTest, KeepsLiveRecordsAndRemovesStaleOnesWithTheirSockets) {
    test::TempFolder temp;
    LocalRendezvous rendezvous(temp.path() / LocalRendezvous::folderName);
    ASSERT_TRUE(rendezvous.prepare());
    struct stat info {};
    ASSERT_EQ(::stat(rendezvous.folder().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);

    const LocalRecord live = sampleRecord("00000000-0000-4000-8000-000000000001");
    ASSERT_TRUE(rendezvous.write(live));

    // Same pid, another start time: the pid was recycled, the host is gone.
    LocalRecord recycled = sampleRecord("00000000-0000-4000-8000-000000000002");
    recycled.processStart += 1;
    const auto ownSocket = rendezvous.folder() / "recycled.sock";
    const auto foreignFile = temp.path() / "not-a-socket";
    std::ofstream(ownSocket) << "";
    std::ofstream(foreignFile) << "";
    recycled.channels = {{0x90, ownSocket.string()}, {0x91, foreignFile.string()}};
    ASSERT_TRUE(rendezvous.write(recycled));

    LocalRecord dead = sampleRecord("00000000-0000-4000-8000-000000000003");
    dead.pid = goneProcess;
    ASSERT_TRUE(rendezvous.write(dead));

    // A record under another instance's name is not trusted, and not deleted either.
    const auto misplaced = rendezvous.folder() / "00000000-0000-4000-8000-000000000009.json";
    std::filesystem::copy_file(rendezvous.recordPath(live.instanceId), misplaced);

    EXPECT_EQ(rendezvous.liveRecords(), std::vector{live});
    EXPECT_FALSE(rendezvous.liveRecord(dead.instanceId));
    EXPECT_FALSE(std::filesystem::exists(rendezvous.recordPath(recycled.instanceId)));
    EXPECT_FALSE(std::filesystem::exists(rendezvous.recordPath(dead.instanceId)));
    EXPECT_FALSE(std::filesystem::exists(ownSocket));
    EXPECT_TRUE(std::filesystem::exists(foreignFile));
    EXPECT_TRUE(std::filesystem::exists(misplaced));
    // Nothing half-written is left behind by the atomic replacement.
    for (const auto& entry : std::filesystem::directory_iterator(rendezvous.folder())) {
        EXPECT_FALSE(entry.path().filename().string().starts_with(".")) << entry.path();
    }
}

TEST(LocalRendezvousTest, RefusesFoldersItCannotTrustAndPlacesLongSocketPathsElsewhere) {
    test::TempFolder temp;
    // The default folder needs XDG_RUNTIME_DIR set to an absolute path of a folder.
    std::ofstream(temp.path() / "file") << "";
    for (const auto& value : std::vector<std::optional<std::string>>{
             std::nullopt, "relative/run", (temp.path() / "missing").string(),
             (temp.path() / "file").string()}) {
        const test::ScopedEnv runtime("XDG_RUNTIME_DIR", value);
        EXPECT_FALSE(LocalRendezvous::open(std::nullopt)) << value.value_or("unset");
    }
    const auto missing = LocalRendezvous::open(temp.path() / "missing" / "inner");
    ASSERT_FALSE(missing);
    EXPECT_NE(missing.error().find("missing"), std::string::npos) << missing.error();
    EXPECT_FALSE(LocalRendezvous::open(temp.path() / "file"));
    std::filesystem::create_directory_symlink(temp.path(), temp.path() / "link");
    EXPECT_FALSE(LocalRendezvous::open(temp.path() / "link"));

    // A folder others may enter is made private again.
    const auto loose = temp.path() / "loose";
    ASSERT_EQ(::mkdir(loose.c_str(), 0755), 0);
    const auto opened = LocalRendezvous::open(loose);
    ASSERT_TRUE(opened) << opened.error();
    struct stat info {};
    ASSERT_EQ(::stat(loose.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);

    EXPECT_EQ(*LocalRendezvous(loose).socketPath("a.sock"), loose / "a.sock");
    const auto deep = temp.path() / std::string(100, 'd');
    ASSERT_TRUE(std::filesystem::create_directories(deep));
    const auto elsewhere = LocalRendezvous(deep).socketPath("a.sock");
    ASSERT_TRUE(elsewhere) << elsewhere.error();
    EXPECT_EQ(elsewhere->parent_path(), "/tmp/merriphonic-" + std::to_string(::geteuid()));
}

} // namespace
} // namespace merriphonic::radio_test
