#include <fstream>

#include "core/outbound_frame.h"
#include "tests/vm/bt_check/bt_check.h"
#include "transport/connection.h"
#include "transport/speaker_central.h"

namespace merriphonic {

namespace {

// The speaker process, whose exit status is the check's verdict. For each party: scan until
// the party's advertisement shows up, join it through SpeakerCentral (the PSM and info record
// read over GATT are checked against what the host published, the channel socket by
// CheckedL2capSockets), send the frames, then see the party end as planned and BlueZ drop
// every link.
class SpeakerRole final : public Role {
public:
    using Role::Role;

    void start() override {
        central_ = SpeakerCentral::create(setup_.context);
        central_->onDiscovered = guard([this](const DiscoveredHost& host) { discovered(host); });
        central_->onChannel = guard(
            [this](const std::shared_ptr<L2capChannel>& channel,
                   const std::optional<std::string>& infoName) { joined(channel, infoName); });
        central_->onConnectFailed =
            guard([this](const std::string& message) { fail("the join failed: " + message); });
        central_->onDisconnected = guard([this](const std::string& description) {
            say("GATT link lost: {}", description);
            if (stage_ != Stage::losingLink) {
                fail("the GATT link was lost in the middle of the party");
                return;
            }
            gattDropped_ = true;
            partyOverIfSeenAll();
        });
        startParty(0);
    }

private:
    enum class Stage { scanning, joining, ending, losingLink, leaving };

    void startParty(int party) {
        party_ = party;
        byeSeen_ = false;
        channelEnded_ = false;
        gattDropped_ = false;
        // The first party's frames leave through a channel whose send buffer starts too small
        // for one of them.
        setup_.sockets.setConnectSendBuffer(party == 0 ? 1 : 0);
        say("scanning for \"{}\"", btcheck::partyName(party));
        expect(Stage::scanning, btcheck::discoveryLimitNs, "finding the party");
        central_->startScan();
    }

    void discovered(const DiscoveredHost& host) {
        if (stage_ != Stage::scanning || !btcheck::announces(host.name, party_)) {
            return;
        }
        if (setup_.expectedRssi && host.rssi != *setup_.expectedRssi) {
            fail(fmt::format("the party was listed with RSSI {}, expected {}", host.rssi,
                             *setup_.expectedRssi));
            return;
        }
        say("found as \"{}\"; joining {}", host.name, host.id);
        // SpeakerCentral keeps its own deadline for the join; this one only backs it up.
        expect(Stage::joining, SpeakerCentral::connectTimeoutNs + 10 * nsPerSecond, "joining");
        central_->connect(host.id);
    }

    void joined(const std::shared_ptr<L2capChannel>& channel,
                const std::optional<std::string>& infoName) {
        const std::optional<uint16_t> psm = central_->psm();
        std::ifstream publishedFile(setup_.results / ("psm-" + std::to_string(party_ + 1)));
        unsigned published = 0;
        publishedFile >> published;
        const std::string name = btcheck::partyName(party_);
        if (stage_ != Stage::joining) {
            fail("a channel opened outside a join");
        } else if (!psm || *psm < 0x80 || *psm > 0xFF || *psm != published) {
            // The kernel hands out LE PSMs from the dynamic range.
            fail(fmt::format("read PSM {} over GATT; the host published {}", psm.value_or(0),
                             published));
        } else if (!setup_.sockets.fault().empty()) {
            fail(setup_.sockets.fault());
        } else if (party_ == 1 && setup_.sockets.lastSendMtu() != btcheck::secondPartyReceiveMtu) {
            fail(fmt::format("the host asked for a receive MTU of {}, the channel sends {}",
                             btcheck::secondPartyReceiveMtu, setup_.sockets.lastSendMtu()));
        } else if (infoName != name) {
            fail(fmt::format(R"(the info record's name is "{}" ({} bytes), expected "{}")",
                             infoName.value_or("(absent)"), infoName.value_or("").size(), name));
        } else {
            say("joined on PSM {}; sending {} frames", *psm, btcheck::chunkCount);
            link_ = Connection::create(setup_.context, channel->streams, "host");
            link_->onMessage =
                guard([this](const Message& message, int64_t /*atNs*/) { received(message); });
            link_->onClose = guard([this](const std::string& reason) { closed(reason); });
            link_->start();
            for (int i = 0; i < btcheck::chunkCount; ++i) {
                link_->enqueue(OutboundFrame(Message(btcheck::chunk(i))));
            }
            link_->enqueue(OutboundFrame(Message(TrackDone{})));
            expect(party_ == 0 ? Stage::ending : Stage::losingLink, btcheck::teardownLimitNs,
                   party_ == 0 ? "waiting for the host's BYE" : "waiting for the link's loss");
        }
    }

    void received(const Message& message) {
        if (!message.is<Bye>() || stage_ != Stage::ending) {
            fail("unexpected " + message.name());
            return;
        }
        byeSeen_ = true;
        // As the app does: the party is over, the link goes.
        link_->close("session teardown");
        partyOverIfSeenAll();
    }

    void closed(const std::string& reason) {
        say("channel closed: {}", reason);
        link_.reset();
        if (stage_ != Stage::losingLink && !(stage_ == Stage::ending && byeSeen_)) {
            fail("the channel closed before the party's end");
            return;
        }
        channelEnded_ = true;
        partyOverIfSeenAll();
    }

    void partyOverIfSeenAll() {
        if (stage_ == Stage::ending && byeSeen_ && channelEnded_) {
            say("ended by the host (BYE, channel closed); leaving as the app does");
            central_->disconnect();
        } else if (!(stage_ == Stage::losingLink && gattDropped_ && channelEnded_)) {
            return;
        }
        expect(Stage::leaving, btcheck::teardownLimitNs, "waiting for BlueZ to drop the link");
        checkNoLinkLeft();
    }

    // After disconnect() BlueZ needs a moment to take the link down.
    void checkNoLinkLeft() {
        const auto connected = probe_.connectedDevices();
        if (!connected || !connected->empty()) {
            after(pause_, 250 * nsPerMs, [this] { checkNoLinkLeft(); });
        } else if (party_ + 1 < btcheck::partyCount) {
            say("BlueZ reports no link");
            startParty(party_ + 1);
        } else {
            finish(0);
        }
    }

    void expect(Stage stage, int64_t limitNs, const std::string& what) {
        stage_ = stage;
        after(timer_, limitNs, [this, what] { fail("timed out " + what); });
    }

    void stopAll() override {
        central_->stopScan();
        if (link_) {
            link_->close("check finished");
        }
        central_->disconnect();
    }

    std::shared_ptr<SpeakerCentral> central_;
    std::shared_ptr<Connection> link_;
    Stage stage_ = Stage::scanning;
    bool byeSeen_ = false;
    bool channelEnded_ = false;
    bool gattDropped_ = false;
};

} // namespace

std::shared_ptr<Role> makeSpeakerRole(RoleSetup setup) {
    return std::make_shared<SpeakerRole>(std::move(setup));
}

} // namespace merriphonic
