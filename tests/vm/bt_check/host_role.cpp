#include <fstream>
#include <map>
#include <system_error>

#include "tests/vm/bt_check/bt_check.h"
#include "transport/connection.h"
#include "transport/host_peripheral.h"

namespace merriphonic {

namespace {

using Kind = HostPeripheral::Phase::Kind;

// Hosts the parties on a HostPeripheral, takes every channel into a Connection and checks the
// frames that arrive on it. Once they are all in it ends party 1 as a host does (BYE,
// peripheral stopped) and drops the link of party 2 through BlueZ, then stops that party.
class HostRole final : public Role {
public:
    using Role::Role;

    void start() override {
        peripheral_ = HostPeripheral::create(setup_.context);
        peripheral_->onPhase = guard([this](const HostPeripheral::Phase& phase) {
            if (phase.is(Kind::failed)) {
                fail("the peripheral failed: " + phase.text);
            } else if (phase.is(Kind::advertising)) {
                published();
            }
        });
        peripheral_->onChannel =
            guard([this](const std::shared_ptr<L2capChannel>& channel) { accept(channel); });
        after(timer_, btcheck::hostLimitNs, [this] { fail("the speaker did not finish in time"); });
        startParty(0);
    }

private:
    void startParty(int party) {
        party_ = party;
        ending_ = false;
        dropping_ = false;
        if (party == 1) {
            setup_.sockets.setListenReceiveMtu(btcheck::secondPartyReceiveMtu);
        }
        say("hosting \"{}\"", btcheck::partyName(party));
        peripheral_->start(btcheck::partyName(party));
    }

    void published() {
        const auto psm = peripheral_->psm();
        if (!psm) {
            fail("advertising without a published PSM");
            return;
        }
        say("advertising on PSM {}", *psm);
        // Renamed into place, so that the speaker never reads half a number.
        const auto file = setup_.results / ("psm-" + std::to_string(party_ + 1));
        std::ofstream(file.string() + ".tmp") << *psm << '\n';
        std::error_code error;
        std::filesystem::rename(file.string() + ".tmp", file, error);
        if (error) {
            fail("cannot write " + file.string());
        }
    }

    void accept(const std::shared_ptr<L2capChannel>& channel) {
        if (!setup_.sockets.fault().empty()) {
            fail(setup_.sockets.fault());
            return;
        }
        auto link = Connection::create(setup_.context, channel->streams, "spk");
        const std::string id = link->id();
        link->onMessage =
            guard([this, id](const Message& message, int64_t /*atNs*/) { received(id, message); });
        link->onClose = guard([this, id](const std::string& reason) { closed(id, reason); });
        say("channel opened by {}", channel->peerId);
        links_[id] = {link, 0};
        link->start();
        if (ending_) {
            link->close("party ended");
        }
    }

    void received(const std::string& id, const Message& message) {
        int& count = links_[id].second;
        if (const auto* chunk = message.as<TrackChunk>()) {
            if (*chunk != btcheck::chunk(count)) {
                fail(fmt::format("frame {} arrived garbled or out of order", count));
            }
            ++count;
        } else if (!message.is<TrackDone>()) {
            fail("unexpected " + message.name());
        } else if (count != btcheck::chunkCount) {
            fail(fmt::format("TRACK_DONE after {} of {} frames", count, btcheck::chunkCount));
        } else if (party_ == 0) {
            say("all {} frames arrived intact; ending the party", count);
            endParty();
        } else {
            say("all {} frames arrived intact; dropping the link through BlueZ", count);
            dropping_ = true;
            if (probe_.disconnectAll() == 0) {
                fail("BlueZ shows no link to drop");
            }
        }
    }

    void closed(const std::string& id, const std::string& reason) {
        say("link closed: {}", reason);
        links_.erase(id);
        if (dropping_) {
            endParty();
        } else if (!ending_) {
            fail("the speaker's link closed before the party ended: " + reason);
        } else if (links_.empty()) {
            checkWithdrawn(0);
        }
    }

    void endParty() {
        if (ending_) {
            return;
        }
        ending_ = true;
        peripheral_->stop();
        for (const auto& [id, link] : links_) {
            link.first->sendByeAndClose("party ended");
        }
        if (links_.empty()) {
            checkWithdrawn(0);
        }
    }

    // BlueZ withdraws the advertisement asynchronously: it gets 40 polls 250 ms apart.
    void checkWithdrawn(int attempt) {
        if (!peripheral_->phase().is(Kind::idle) || peripheral_->psm()) {
            fail("the peripheral is not idle after stop()");
            return;
        }
        const auto active = probe_.activeAdvertisements();
        if (active != 0 && attempt < 40) {
            after(pause_, 250 * nsPerMs, [this, attempt] { checkWithdrawn(attempt + 1); });
        } else if (active != 0) {
            fail(fmt::format("BlueZ still holds {} advertisement(s) after the party ended",
                             active.value_or(-1)));
        } else if (party_ + 1 < btcheck::partyCount) {
            say("ended; BlueZ holds no advertisement of ours");
            startParty(party_ + 1);
        } else {
            finish(0);
        }
    }

    void stopAll() override {
        peripheral_->stop();
        for (const auto& [id, link] : links_) {
            link.first->close("check finished");
        }
    }

    std::shared_ptr<HostPeripheral> peripheral_;
    // Every open link and how many frames it has brought.
    std::map<std::string, std::pair<std::shared_ptr<Connection>, int>> links_;
    bool ending_ = false;
    bool dropping_ = false;
};

} // namespace

std::shared_ptr<Role> makeHostRole(RoleSetup setup) {
    return std::make_shared<HostRole>(std::move(setup));
}

} // namespace merriphonic
