#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

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

    test::TempFolder temp;
    LocalRendezvous rendezvous{temp.path() / "run"};
    LocalRadioOptions options{rendezvous.folder()};
    LocalPeripheralManager* hostManager = nullptr;
    LocalCentralManager* central = nullptr;
};

INSTANTIATE_TYPED_TEST_SUITE_P(Local, RadioContract, LocalRadios);

using LocalRadioTest = RadioContract<LocalRadios>;

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
    const int good = connectTo(
        socketPath, LocalHello::line("0a1b2c3d-0000-4000-8000-00000000000f") + "first bytes");
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
    ChannelEnd end(channel);
    EXPECT_TRUE(radios.runUntil([&] { return end.received == "first bytes"; }));
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

TEST_F(LocalRadioTest, AHostInAnotherProcessIsJoinedAndForgottenOnceKilled) {
    start();
    pid_t pid = -1;
    std::string program = LOCAL_RADIO_HOST;
    std::string folder = radios.rendezvous.folder().string();
    std::array<char*, 4> argv{program.data(), const_cast<char*>("Den"), folder.data(), nullptr};
    ASSERT_EQ(::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ), 0);
    const auto reap = [&pid] {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(std::exchange(pid, -1), nullptr, 0);
        }
    };
    struct Reaper {
        std::function<void()> reap;
        ~Reaper() { reap(); }
    } reaper{reap};

    const auto other = connect();
    ASSERT_TRUE(other);
    EXPECT_EQ(speaker->last(Kind::discovered).advertisement.localName, "Den");
    next(*speaker, Kind::services, [&] { other->discoverServices({service}); });
    next(*speaker, Kind::characteristics,
         [&] { other->discoverCharacteristics({psmUuid}, service); });
    const Bytes psm = next(*speaker, Kind::value, [&] {
                          other->readValue(service, psmUuid);
                      }).value.value_or(Bytes{0, 0});
    const RadioEvent opened = next(*speaker, Kind::channel, [&] {
        other->openL2capChannel(static_cast<uint16_t>(psm[0] | psm[1] << 8));
    });
    ASSERT_TRUE(opened.channel);
    ChannelEnd end(opened.channel);
    EXPECT_TRUE(radios.runUntil(
        [&] { return end.received == "Den greets " + radios.central->instanceId(); }));

    // Killed without a chance to clean up: its record goes once a reader sees it is gone.
    const RadioEvent lost = next(*speaker, Kind::disconnected, reap);
    EXPECT_EQ(lost.error->description, "the host has gone away");
    EXPECT_TRUE(end.ended || radios.runUntil([&] { return end.ended; }));
    EXPECT_FALSE(std::filesystem::exists(radios.rendezvous.recordPath(other->identifier())));
    EXPECT_EQ(next(*speaker, Kind::failedToConnect, [&] { speakerManager->connect(other); })
                  .error->description,
              "the host has gone away");
}

} // namespace
} // namespace merriphonic::radio_test
