#include "platform/local/local_rendezvous.h"

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "core/sync_protocol.h"
#include "platform/local/local_hello.h"
#include "platform/local/local_record.h"
#include "tests/support/qt_test_support.h"

namespace merriphonic::test {
namespace {

LocalRecord sampleRecord(const std::string& instanceId) {
    LocalRecord record;
    record.instanceId = instanceId;
    record.pid = ::getpid();
    record.processStart = LocalRendezvous::processStart(::getpid()).value_or(0);
    record.advertising = true;
    record.advertisement = {{std::string(SyncProtocol::serviceUuid)}, "Kitchen \"party\""};
    record.services = {{std::string(SyncProtocol::serviceUuid),
                        true,
                        {{std::string(SyncProtocol::psmCharacteristicUuid), {0x81, 0x00}},
                         {std::string(SyncProtocol::infoCharacteristicUuid), {}}}}};
    record.channels = {{0x81, "/tmp/x.sock"}};
    return record;
}

// A pid that is certainly gone: a child that has exited and been reaped.
pid_t deadPid() {
    pid_t pid = -1;
    std::array<char*, 2> argv{const_cast<char*>("/bin/true"), nullptr};
    EXPECT_EQ(::posix_spawn(&pid, "/bin/true", nullptr, nullptr, argv.data(), nullptr), 0);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return pid;
}

TEST(LocalRecordTest, RoundTripsAndRejectsWhatIsNotARecord) {
    const LocalRecord record = sampleRecord("0A1B2C3D-0000-4000-8000-00000000000F");
    const Bytes json = record.toJson();
    EXPECT_EQ(LocalRecord::fromJson(json), record);

    // UUIDs of either case are read back upper-case; lookups ignore case.
    std::string text(json.begin(), json.end());
    text.replace(text.find("7D2EA4A1"), 8, "7d2ea4a1");
    const auto lowered = LocalRecord::fromJson(Bytes(text.begin(), text.end()));
    ASSERT_TRUE(lowered);
    EXPECT_EQ(*lowered, record);
    EXPECT_NE(lowered->characteristic("7d2ea4a0-5c3b-4f1e-9a51-3b6c2f0e1a00",
                                      "7D2EA4A1-5c3b-4f1e-9a51-3b6c2f0e1a00"),
              nullptr);
    EXPECT_EQ(lowered->channel(0x82), nullptr);

    const auto broken = [&](std::string_view from, std::string_view to) {
        std::string changed(json.begin(), json.end());
        changed.replace(changed.find(from), from.size(), to);
        return LocalRecord::fromJson(Bytes(changed.begin(), changed.end()));
    };
    EXPECT_FALSE(broken("\"format\":1", "\"format\":2"));
    EXPECT_FALSE(broken("\"8100\"", "\"81x0\""));
    EXPECT_FALSE(broken("\"8100\"", "\"810\""));
    EXPECT_FALSE(broken("\"psm\":129", "\"psm\":70000"));
    EXPECT_FALSE(broken("\"pid\":", "\"pod\":"));
    EXPECT_FALSE(broken("0A1B2C3D-", "0A1B2C3D"));
    EXPECT_FALSE(broken("{", "["));
}

TEST(LocalHelloTest, NamesTheCentralAndRejectsAnythingElse) {
    const std::string id = "0A1B2C3D-0000-4000-8000-00000000000F";
    const std::string line = LocalHello::line(id);
    ASSERT_EQ(line.back(), '\n');
    EXPECT_LE(line.size() - 1, LocalHello::maxLength);
    EXPECT_EQ(LocalHello::parse(line.substr(0, line.size() - 1)), id);
    EXPECT_EQ(LocalHello::parse("MPLOCAL1 0a1b2c3d-0000-4000-8000-00000000000f"), id);
    EXPECT_FALSE(LocalHello::parse("MPLOCAL2 " + id));
    EXPECT_FALSE(LocalHello::parse("MPLOCAL1 " + id + " "));
    EXPECT_FALSE(LocalHello::parse(""));
}

TEST(LocalRendezvousTest, KeepsLiveRecordsAndRemovesStaleOnesWithTheirSockets) {
    TempFolder temp;
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
    dead.pid = deadPid();
    ASSERT_TRUE(rendezvous.write(dead));

    // A record under another instance's name is not trusted, and not deleted either.
    const auto misplaced = rendezvous.folder() / "00000000-0000-4000-8000-000000000009.json";
    std::filesystem::copy_file(rendezvous.recordPath(live.instanceId), misplaced);

    const auto records = rendezvous.liveRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0], live);
    EXPECT_TRUE(rendezvous.liveRecord(live.instanceId));
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
    TempFolder temp;
    // The default folder needs XDG_RUNTIME_DIR set to an absolute path of a folder.
    std::ofstream(temp.path() / "file") << "";
    for (const auto& value : std::vector<std::optional<std::string>>{
             std::nullopt, "relative/run", (temp.path() / "missing").string(),
             (temp.path() / "file").string()}) {
        const ScopedEnv runtime("XDG_RUNTIME_DIR", value);
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

    const LocalRendezvous shortOne(loose);
    EXPECT_EQ(*shortOne.socketPath("a.sock"), loose / "a.sock");
    const auto deep = temp.path() / std::string(100, 'd');
    ASSERT_TRUE(std::filesystem::create_directories(deep));
    const LocalRendezvous longOne(deep);
    const auto elsewhere = longOne.socketPath("a.sock");
    ASSERT_TRUE(elsewhere) << elsewhere.error();
    EXPECT_EQ(elsewhere->parent_path(), "/tmp/merriphonic-" + std::to_string(::geteuid()));
}

} // namespace
} // namespace merriphonic::test
