#include "tests/vm/bt_check/speaker_role.h"

#include <fmt/format.h>

#include <fstream>
#include <utility>

#include "core/outbound_frame.h"
#include "core/platform.h"
#include "core/sync_protocol.h"
#include "core/text_limits.h"
#include "core/time_units.h"
#include "tests/vm/bt_check/check_plan.h"
#include "tests/vm/bt_check/track_receiver.h"
#include "transport/ble_ids.h"
#include "transport/host_peripheral.h"

namespace merriphonic {

namespace {

// The kernel hands out LE PSMs from the dynamic range.
constexpr uint16_t firstDynamicPsm = 0x80;
constexpr uint16_t lastDynamicPsm = 0xFF;
// After disconnect() BlueZ needs a moment to take the link down.
constexpr int linkChecks = 40;
constexpr int64_t linkCheckSpacingNs = 250 * nsPerMs;
constexpr int64_t greetingLimitNs = 30 * nsPerSecond;

double seconds(int64_t ns) {
    return static_cast<double>(ns) / 1e9;
}

} // namespace

std::shared_ptr<SpeakerRole> SpeakerRole::create(DeviceContext& context, const CheckLog& log,
                                                 CheckedL2capSockets& sockets, BluezProbe probe,
                                                 SpeakerOptions options) {
    return std::make_shared<SpeakerRole>(Private{}, context, log, sockets, std::move(probe),
                                         std::move(options));
}

SpeakerRole::SpeakerRole(Private /*unused*/, DeviceContext& context, const CheckLog& log,
                         CheckedL2capSockets& sockets, BluezProbe probe, SpeakerOptions options)
    : context_(context), log_(log), sockets_(sockets), probe_(std::move(probe)),
      options_(std::move(options)) {}

void SpeakerRole::start() {
    const std::weak_ptr<SpeakerRole> weak = weak_from_this();
    central_ = SpeakerCentral::create(context_);
    central_->onState = [this, weak](RadioState state) {
        if (weak.lock()) {
            log_.say("radio {}", radioStateName(state));
        }
    };
    central_->onDiscovered = [this, weak](const DiscoveredHost& host) {
        if (weak.lock()) {
            discovered(host);
        }
    };
    central_->onChannel = [this, weak](const std::shared_ptr<L2capChannel>& channel,
                                       const std::optional<std::string>& infoName) {
        if (weak.lock()) {
            joined(channel, infoName);
        }
    };
    central_->onConnectFailed = [this, weak](const std::string& message) {
        if (weak.lock()) {
            fail("the join failed: " + message);
        }
    };
    central_->onDisconnected = [this, weak](const std::string& description) {
        if (weak.lock()) {
            linkDropped(description);
        }
    };
    startParty(0);
}

void SpeakerRole::startParty(int party) {
    party_ = party;
    byeSeen_ = false;
    linkEnded_ = false;
    gattDropped_ = false;
    seenNames_.clear();
    roundTrips_ = RoundTripStats();
    // The first party's track leaves through a channel whose send buffer starts too small for
    // one of its frames.
    sockets_.setConnectSendBuffer(party == 0 ? 1 : 0);
    log_.say("party {}: scanning for \"{}\"", party + 1, CheckPlan::partyName(party));
    expect(Stage::scanning, CheckPlan::discoveryLimitNs, "finding the party");
    scanStartNs_ = context_.clock.nowNs();
    central_->startScan();
}

void SpeakerRole::discovered(const DiscoveredHost& host) {
    if (stage_ != Stage::scanning) {
        return;
    }
    if (seenNames_.insert(host.name).second) {
        log_.say("party {}: sees \"{}\" ({}, RSSI {})", party_ + 1, host.name, host.id, host.rssi);
    }
    if (!CheckPlan::announces(host.name, party_)) {
        return;
    }
    if (options_.expectedRssi && host.rssi != *options_.expectedRssi) {
        fail(fmt::format("the party was listed with RSSI {}, expected {}", host.rssi,
                         *options_.expectedRssi));
        return;
    }
    const int64_t now = context_.clock.nowNs();
    if (party_ == 0) {
        metric("discover_s", fmt::format("{:.2f}", seconds(now - scanStartNs_)));
    }
    log_.say("party {}: found after {:.2f} s; joining {}", party_ + 1, seconds(now - scanStartNs_),
             host.id);
    // SpeakerCentral keeps its own deadline for the join; this one only backs it up.
    expect(Stage::joining, SpeakerCentral::connectTimeoutNs + 10 * nsPerSecond, "joining");
    connectNs_ = now;
    central_->connect(host.id);
}

void SpeakerRole::joined(const std::shared_ptr<L2capChannel>& channel,
                         const std::optional<std::string>& infoName) {
    if (stage_ != Stage::joining) {
        fail("a channel opened outside a join");
        return;
    }
    const double joinS = seconds(context_.clock.nowNs() - connectNs_);
    metric(party_ == 0 ? "join_s" : "rejoin_s", fmt::format("{:.2f}", joinS));
    const std::optional<uint16_t> psm = central_->psm();
    log_.say("party {}: channel open {:.2f} s after connect(); PSM {} read over GATT", party_ + 1,
             joinS, psm ? std::to_string(*psm) : "none");

    if (!psm || *psm < firstDynamicPsm || *psm > lastDynamicPsm) {
        fail("the PSM read is not a dynamic LE PSM");
        return;
    }
    const std::optional<uint16_t> published = publishedPsm();
    if (published != psm) {
        fail(fmt::format("the host published PSM {}, the speaker read {}",
                         published ? std::to_string(*published) : "none", *psm));
        return;
    }
    if (!sockets_.fault().empty()) {
        fail(sockets_.fault());
        return;
    }
    if (const auto& opened = sockets_.lastChannel()) {
        log_.say("party {}: {}", party_ + 1, opened->description);
        if (party_ == 1 && opened->sendMtu != CheckPlan::secondPartyReceiveMtu) {
            fail(fmt::format("the host asked for a receive MTU of {}, the channel sends {}",
                             CheckPlan::secondPartyReceiveMtu, opened->sendMtu));
            return;
        }
    }
    const std::string name = CheckPlan::partyName(party_);
    if (infoName != name) {
        fail(fmt::format("the info record's name is {} ({} bytes), expected \"{}\" ({} bytes)",
                         infoName ? "\"" + *infoName + "\"" : "absent",
                         infoName ? infoName->size() : 0, name, name.size()));
        return;
    }
    const size_t infoBytes = HostPeripheral::infoValue(name).size();
    if (const auto mtu = probe_.attMtu(BLEIDs::info); mtu && *mtu > 1) {
        // A read returns at most MTU - 1 bytes of the value.
        const auto perRead = static_cast<size_t>(*mtu - 1);
        log_.say("party {}: info record of {} bytes read whole at ATT MTU {} ({} read(s))",
                 party_ + 1, infoBytes, *mtu, (infoBytes + perRead - 1) / perRead);
    } else {
        log_.say("party {}: info record of {} bytes read whole", party_ + 1, infoBytes);
    }

    link_ = Connection::create(context_, channel->streams, "host");
    const std::weak_ptr<SpeakerRole> weak = weak_from_this();
    link_->onMessage = [this, weak](const Message& message, int64_t atNs) {
        if (weak.lock()) {
            handle(message, atNs);
        }
    };
    link_->onClose = [this, weak](const std::string& reason) {
        if (weak.lock()) {
            linkClosed(reason);
        }
    };
    link_->start();
    Hello hello;
    hello.id = "bt-check-speaker";
    hello.name = "bt-check speaker";
    hello.platform = std::string(rawValue(currentPlatform));
    link_->enqueue(OutboundFrame(Message(hello)));
    expect(Stage::greeting, greetingLimitNs, "waiting for WELCOME");
}

std::optional<uint16_t> SpeakerRole::publishedPsm() const {
    std::ifstream in(options_.results / ("psm-" + std::to_string(party_ + 1)));
    unsigned int psm = 0;
    if (!(in >> psm) || psm > 0xFFFF) {
        return std::nullopt;
    }
    return static_cast<uint16_t>(psm);
}

void SpeakerRole::handle(const Message& message, int64_t atNs) {
    if (const auto* welcome = message.as<Welcome>()) {
        // A WELCOME carries the party's name cut to a name's length (the first party's is
        // longer, to fill the info record).
        const std::string expected =
            TextLimits::cut(CheckPlan::partyName(party_), TextLimits::maxNameBytes);
        if (stage_ != Stage::greeting || welcome->name != expected) {
            fail("unexpected WELCOME for \"" + welcome->name + "\"");
            return;
        }
        log_.say("party {}: WELCOME; timing {} PING round trips", party_ + 1,
                 CheckPlan::pingCount(party_));
        expect(Stage::pinging, CheckPlan::exchangeLimitNs, "exchanging PINGs");
        pingSeq_ = 1;
        link_->enqueue(OutboundFrame::ping(pingSeq_));
    } else if (const auto* answer = message.as<Pong>()) {
        pong(*answer, atNs);
    } else if (const auto* report = message.as<Status>()) {
        reported(*report, atNs);
    } else if (message.is<Bye>()) {
        log_.say("party {}: BYE from the host", party_ + 1);
        if (stage_ != Stage::ending) {
            fail("the host said BYE before the party's end");
            return;
        }
        byeSeen_ = true;
        // As the app does: the party is over, the link goes.
        if (link_) {
            link_->close("session teardown");
        }
        partyOverIfSeenAll();
    } else {
        log_.say("party {}: ignoring {}", party_ + 1, message.name());
    }
}

void SpeakerRole::pong(const Pong& pong, int64_t atNs) {
    if (stage_ != Stage::pinging || pong.seq != pingSeq_) {
        fail(fmt::format("unexpected PONG {} (waiting for {})", pong.seq, pingSeq_));
        return;
    }
    if (auto fault = roundTrips_.add(pong, atNs)) {
        fail(*fault);
        return;
    }
    if (roundTrips_.count() < static_cast<size_t>(CheckPlan::pingCount(party_))) {
        link_->enqueue(OutboundFrame::ping(++pingSeq_));
        return;
    }
    log_.say("party {}: {} round trips: min {:.2f} ms, median {:.2f} ms, max {:.2f} ms", party_ + 1,
             roundTrips_.count(), roundTrips_.minMs(), roundTrips_.medianMs(), roundTrips_.maxMs());
    if (party_ == 0) {
        metric("rtt_min_ms", fmt::format("{:.2f}", roundTrips_.minMs()));
        metric("rtt_median_ms", fmt::format("{:.2f}", roundTrips_.medianMs()));
    }
    startTransfer();
}

void SpeakerRole::startTransfer() {
    track_ = std::make_unique<PatternTrack>(
        PatternTrack::make(CheckPlan::trackBytes(party_), CheckPlan::trackSeed(party_)));
    source_ = std::make_shared<ChunkSource>(*track_, context_.clock, SyncProtocol::chunkDataSize);
    log_.say("party {}: sending {} bytes as TRACK_CHUNKs (track {}, sha256 {})", party_ + 1,
             track_->data.size(), track_->key.hex(), track_->digestHex());
    expect(Stage::transferring, CheckPlan::exchangeLimitNs, "transferring the track");
    link_->setBulkSource(source_);
}

void SpeakerRole::reported(const Status& report, int64_t atNs) {
    if (stage_ != Stage::transferring || source_->donePullNs() == 0) {
        fail("a STATUS before the track was sent: " + report.state);
        return;
    }
    if (auto fault = TrackReceiver::verify(report, *track_)) {
        fail(*fault);
        return;
    }
    const double elapsedS = seconds(atNs - source_->firstPullNs());
    const double kib = static_cast<double>(track_->data.size()) / 1024.0;
    log_.say("party {}: the host received all {} bytes intact (sha256 {}) in {:.2f} s: "
             "{:.1f} KiB/s",
             party_ + 1, report.bytes, *report.trackKey, elapsedS, kib / elapsedS);
    if (party_ == 0) {
        metric("throughput_kib_s", fmt::format("{:.1f}", kib / elapsedS));
    }
    link_->setBulkSource({});
    if (party_ == 0) {
        log_.say("party {}: waiting for the host to end the party", party_ + 1);
        expect(Stage::ending, CheckPlan::teardownLimitNs, "waiting for the host's BYE");
    } else {
        log_.say("party {}: waiting for the host to drop the link", party_ + 1);
        expect(Stage::losingLink, CheckPlan::teardownLimitNs,
               "waiting for the link's loss and the channel's end");
    }
}

void SpeakerRole::linkClosed(const std::string& reason) {
    log_.say("party {}: channel closed: {}", party_ + 1, reason);
    link_.reset();
    if (stage_ != Stage::ending && stage_ != Stage::losingLink) {
        fail("the channel closed unexpectedly");
        return;
    }
    if (stage_ == Stage::ending && !byeSeen_) {
        fail("the channel ended before the host's BYE arrived");
        return;
    }
    linkEnded_ = true;
    partyOverIfSeenAll();
}

void SpeakerRole::linkDropped(const std::string& description) {
    log_.say("party {}: GATT link lost: {}", party_ + 1, description);
    if (stage_ != Stage::losingLink) {
        fail("the GATT link was lost in the middle of the party");
        return;
    }
    gattDropped_ = true;
    partyOverIfSeenAll();
}

void SpeakerRole::partyOverIfSeenAll() {
    if (stage_ == Stage::ending && byeSeen_ && linkEnded_) {
        log_.say("party {}: ended by the host (BYE, channel closed); leaving as the app does",
                 party_ + 1);
        central_->disconnect();
    } else if (stage_ == Stage::losingLink && gattDropped_ && linkEnded_) {
        log_.say("party {}: link lost (onDisconnected, end of channel)", party_ + 1);
    } else {
        return;
    }
    expect(Stage::leaving, CheckPlan::teardownLimitNs, "waiting for BlueZ to drop the link");
    checkNoLinkLeft(0);
}

void SpeakerRole::checkNoLinkLeft(int attempt) {
    const auto connected = probe_.connectedDevices();
    if (connected && connected->empty()) {
        log_.say("party {}: BlueZ reports no link", party_ + 1);
        partyOver();
        return;
    }
    if (attempt >= linkChecks) {
        fail(connected ? fmt::format("BlueZ still reports a link to {}", connected->front())
                       : "BlueZ does not answer for its devices");
        return;
    }
    const std::weak_ptr<SpeakerRole> weak = weak_from_this();
    pause_ = context_.main.after(linkCheckSpacingNs, [this, weak, attempt] {
        if (weak.lock()) {
            checkNoLinkLeft(attempt + 1);
        }
    });
}

void SpeakerRole::partyOver() {
    if (party_ + 1 < CheckPlan::partyCount) {
        startParty(party_ + 1);
    } else {
        finish(0);
    }
}

void SpeakerRole::expect(Stage stage, int64_t limitNs, const std::string& what) {
    stage_ = stage;
    const std::weak_ptr<SpeakerRole> weak = weak_from_this();
    stageTimer_ = context_.main.after(limitNs, [this, weak, stage, limitNs, what] {
        if (weak.lock() && stage_ == stage) {
            fail(fmt::format("timed out after {:.0f} s {}", seconds(limitNs), what));
        }
    });
}

void SpeakerRole::metric(const std::string& key, const std::string& value) {
    std::ofstream out(options_.results / "metrics", std::ios::app);
    out << key << '=' << value << '\n';
}

void SpeakerRole::fail(const std::string& why) {
    if (finished_) {
        return;
    }
    log_.say("FAILED in party {}: {}", party_ + 1, why);
    if (stage_ == Stage::scanning) {
        log_.say("names seen in this scan: {}", fmt::join(seenNames_, ", "));
    }
    finish(1);
}

void SpeakerRole::finish(int status) {
    if (finished_) {
        return;
    }
    finished_ = true;
    stage_ = Stage::done;
    stageTimer_.cancel();
    pause_.cancel();
    central_->stopScan();
    if (link_) {
        link_->close("check finished");
    }
    central_->disconnect();
    if (status == 0) {
        log_.say("PASSED");
    }
    if (onFinished) {
        context_.main.post([callback = onFinished, status] { callback(status); });
    }
}

} // namespace merriphonic
