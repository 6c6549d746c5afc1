// merriphonic-cli as separate processes on this computer: a party that plays and keeps heard
// logs, and clean exits that say goodbye and leave nothing advertised. The command line and its
// refusals are checked in process, by the parts test.

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "tests/tools/cli/cli_rig.h"
#include "tools/cli/cli_options.h"
#include "tools/cli/heard_log.h"

namespace merriphonic::test {
namespace {

using namespace std::chrono_literals;

constexpr auto ending = 15s;
// Joining includes the clock burst; speakers under a sanitizer are slower.
constexpr auto joining = 60s;

// The media heard so far, in seconds past the log's first sound.
double heardSeconds(const std::filesystem::path& log) {
    const auto buffers = HeardLog::read(log);
    if (!buffers || buffers->empty()) {
        return 0.0;
    }
    return static_cast<double>(buffers->back().heardNs - buffers->front().heardNs) / 1e9;
}

class CliTest : public ::testing::Test {
protected:
    CliRig rig;
};

TEST_F(CliTest, speakersLeaveWithByeAndTheHostEndsThePartyForEveryone) {
    // The host plays once one speaker is there; both write what their outputs heard. How well
    // they align is for the party tests in virtual time, not for processes on a busy machine.
    const std::filesystem::path hostLog = rig.file("host.log");
    const std::filesystem::path bobLog = rig.file("bob.log");
    CliProcess& host =
        rig.start("ann", {"host", "--name", "Den", "--verbose", "--import", rig.song(8.0).string(),
                          "--play", "--wait-for", "1", "--heard-log", hostLog.string()});
    CliProcess& bob = rig.start("bob", {"join", "--party", "Den", "--heard-log", bobLog.string()});
    ASSERT_TRUE(bob.waitForOut("· Playing ·", joining)) << bob.out() << bob.err();
    const auto heardUntil = std::chrono::steady_clock::now() + ending;
    while ((heardSeconds(hostLog) < 0.5 || heardSeconds(bobLog) < 0.5) &&
           std::chrono::steady_clock::now() < heardUntil) {
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_GE(heardSeconds(hostLog), 0.5);
    EXPECT_GE(heardSeconds(bobLog), 0.5);

    CliProcess& list = rig.start("cyd", {"parties", "--timeout", "1"});
    EXPECT_EQ(list.wait(ending), CliOptions::exitOk) << list.err();
    EXPECT_TRUE(list.out().starts_with("Den ")) << list.out();

    // q on a speaker's input: BYE "left", then exit.
    bob.type("q");
    EXPECT_EQ(bob.wait(ending), CliOptions::exitOk) << bob.err();
    EXPECT_NE(bob.out().find("Leaving the party"), std::string::npos);
    ASSERT_TRUE(host.running());
    // The host's log is the only witness outside the speaker of what arrived.
    const auto until = std::chrono::steady_clock::now() + ending;
    while (host.err().find("speaker bob sent BYE") == std::string::npos &&
           std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_NE(host.err().find("speaker bob sent BYE"), std::string::npos) << host.err();

    // The strongest party without a name; the host's end reaches the speaker as its BYE.
    CliProcess& cyd = rig.start("cyd", {"join", "--verbose"});
    ASSERT_TRUE(cyd.waitForOut("Connected", joining)) << cyd.out() << cyd.err();
    host.signal(SIGTERM);
    EXPECT_EQ(host.wait(ending), CliOptions::exitOk) << host.err();
    EXPECT_NE(host.out().find("Party ended"), std::string::npos);
    EXPECT_EQ(cyd.wait(ending), CliOptions::exitOk) << cyd.err();
    EXPECT_NE(cyd.out().find("The host ended the party"), std::string::npos)
        << cyd.out() << cyd.err();
    EXPECT_EQ(rig.advertisedParties(), std::vector<std::string>{});
}

} // namespace
} // namespace merriphonic::test
