#include "tests/vm/bt_check/host_role.h"

#include <fstream>
#include <system_error>
#include <utility>

#include "core/outbound_frame.h"
#include "core/sync_protocol.h"
#include "core/time_units.h"
#include "tests/vm/bt_check/check_plan.h"

namespace merriphonic {

namespace {

// BlueZ is told to withdraw the advertisement asynchronously; this is how long it gets.
constexpr int withdrawChecks = 40;
constexpr int64_t withdrawCheckSpacingNs = 250 * nsPerMs;
constexpr int64_t linkDropDelayNs = 500 * nsPerMs;

std::string phaseName(const HostPeripheral::Phase& phase) {
    switch (phase.kind) {
    case HostPeripheral::Phase::Kind::idle:
        return "idle";
    case HostPeripheral::Phase::Kind::starting:
        return "starting";
    case HostPeripheral::Phase::Kind::advertising:
        return "advertising";
    case HostPeripheral::Phase::Kind::failed:
        return "failed: " + phase.text;
    }
    return "?";
}

// Written whole or not at all, so that the reader never sees half a number.
bool writeAtomically(const std::filesystem::path& file, const std::string& text) {
    const std::filesystem::path temporary = file.string() + ".tmp";
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << text << '\n';
        if (!out) {
            return false;
        }
    }
    std::error_code error;
    std::filesystem::rename(temporary, file, error);
    return !error;
}

} // namespace

std::shared_ptr<HostRole> HostRole::create(DeviceContext& context, const CheckLog& log,
                                           CheckedL2capSockets& sockets, BluezProbe probe,
                                           std::filesystem::path results) {
    return std::make_shared<HostRole>(Private{}, context, log, sockets, std::move(probe),
                                      std::move(results));
}

HostRole::HostRole(Private /*unused*/, DeviceContext& context, const CheckLog& log,
                   CheckedL2capSockets& sockets, BluezProbe probe, std::filesystem::path results)
    : context_(context), log_(log), sockets_(sockets), probe_(std::move(probe)),
      results_(std::move(results)) {}

void HostRole::start() {
    const std::weak_ptr<HostRole> weak = weak_from_this();
    peripheral_ = HostPeripheral::create(context_);
    peripheral_->onState = [this, weak](RadioState state) {
        if (weak.lock()) {
            log_.say("radio {}", radioStateName(state));
        }
    };
    peripheral_->onPhase = [this, weak](const HostPeripheral::Phase& phase) {
        if (weak.lock()) {
            phaseChanged(phase);
        }
    };
    peripheral_->onChannel = [this, weak](const std::shared_ptr<L2capChannel>& channel) {
        if (weak.lock()) {
            accept(channel);
        }
    };
    deadline_ = context_.main.after(CheckPlan::hostLimitNs, [this, weak] {
        if (weak.lock()) {
            fail("the speaker did not finish in time");
        }
    });
    startParty(0);
}

void HostRole::startParty(int party) {
    party_ = party;
    ending_ = false;
    droppingLinks_ = false;
    if (party == 1) {
        sockets_.setListenReceiveMtu(CheckPlan::secondPartyReceiveMtu);
    }
    const std::string name = CheckPlan::partyName(party);
    log_.say("party {}: hosting \"{}\" (info record {} bytes)", party + 1, name,
             HostPeripheral::infoValue(name).size());
    peripheral_->start(name);
}

void HostRole::phaseChanged(const HostPeripheral::Phase& phase) {
    log_.say("party {}: peripheral {}", party_ + 1, phaseName(phase));
    if (phase.is(HostPeripheral::Phase::Kind::failed)) {
        fail("the peripheral failed: " + phase.text);
        return;
    }
    if (phase.is(HostPeripheral::Phase::Kind::advertising)) {
        const auto psm = peripheral_->psm();
        if (!psm) {
            fail("advertising without a published PSM");
            return;
        }
        log_.say("party {}: advertising on PSM {}", party_ + 1, *psm);
        const auto file = results_ / ("psm-" + std::to_string(party_ + 1));
        if (!writeAtomically(file, std::to_string(*psm))) {
            fail("cannot write " + file.string());
        }
    }
}

void HostRole::accept(const std::shared_ptr<L2capChannel>& channel) {
    if (ending_ || finished_) {
        log_.say("party {}: a channel from {} after the end; closing it", party_ + 1,
                 channel->peerId);
    }
    if (!sockets_.fault().empty()) {
        fail(sockets_.fault());
    } else if (sockets_.lastChannel()) {
        log_.say("party {}: {}", party_ + 1, sockets_.lastChannel()->description);
    }
    auto link =
        Connection::create(context_, channel->streams, "spk-" + channel->peerId.substr(0, 4));
    const std::string id = link->id();
    const std::weak_ptr<HostRole> weak = weak_from_this();
    const std::weak_ptr<Connection> weakLink = link;
    link->autoPong = true;
    link->onMessage = [this, weak, weakLink](const Message& message, int64_t atNs) {
        const auto strongLink = weakLink.lock();
        if (weak.lock() && strongLink) {
            handle(strongLink, message, atNs);
        }
    };
    link->onClose = [this, weak, id](const std::string& reason) {
        if (weak.lock()) {
            linkClosed(id, reason);
        }
    };
    log_.say("party {}: channel opened by {} ({})", party_ + 1, channel->peerId, link->label());
    links_[id] = link;
    receivers_.try_emplace(id);
    link->start();
    if (ending_ || finished_) {
        link->close("party ended");
    }
}

void HostRole::handle(const std::shared_ptr<Connection>& link, const Message& message,
                      int64_t atNs) {
    const std::string& id = link->id();
    if (const auto* hello = message.as<Hello>()) {
        log_.say("party {}: HELLO from \"{}\" ({})", party_ + 1, hello->name, hello->platform);
        Welcome welcome;
        welcome.hostId = "bt-check-host";
        welcome.name = CheckPlan::partyName(party_);
        link->enqueue(OutboundFrame(Message(welcome)));
    } else if (const auto* chunk = message.as<TrackChunk>()) {
        receivers_[id].add(*chunk, atNs);
    } else if (const auto* done = message.as<TrackDone>()) {
        const Status report = receivers_[id].finish(*done, atNs);
        log_.say("party {}: TRACK_DONE after {} bytes in {} ms: {} (sha256 {})", party_ + 1,
                 report.bytes, report.delayMs, report.state, report.trackKey.value_or(""));
        link->enqueue(OutboundFrame(Message(report)));
        if (party_ == 0) {
            endParty();
            return;
        }
        // Time for the report to reach the speaker before its link goes.
        const std::weak_ptr<HostRole> weak = weak_from_this();
        pause_ = context_.main.after(linkDropDelayNs, [this, weak] {
            if (weak.lock()) {
                dropLinks();
            }
        });
    } else if (message.is<Bye>()) {
        fail("the speaker said BYE; the plan has it stay");
    } else if (message.is<Ping>()) {
        fail("a PING reached the owner although the connection answers them");
    } else {
        log_.say("party {}: ignoring {}", party_ + 1, message.name());
    }
}

void HostRole::linkClosed(const std::string& id, const std::string& reason) {
    log_.say("party {}: link closed: {}", party_ + 1, reason);
    links_.erase(id);
    receivers_.erase(id);
    if (finished_) {
        return;
    }
    if (droppingLinks_) {
        endParty();
        return;
    }
    if (!ending_) {
        fail("the speaker's link closed before the party ended: " + reason);
        return;
    }
    if (links_.empty()) {
        checkWithdrawn(0);
    }
}

void HostRole::dropLinks() {
    droppingLinks_ = true;
    const int dropped = probe_.disconnectAll();
    log_.say("party {}: dropped {} link(s) through BlueZ", party_ + 1, dropped);
    if (dropped == 0) {
        fail("BlueZ shows no link to drop");
    }
}

void HostRole::endParty() {
    if (ending_) {
        return;
    }
    ending_ = true;
    log_.say("party {}: ending", party_ + 1);
    peripheral_->stop();
    for (const auto& [id, link] : links_) {
        link->sendByeAndClose("party ended");
    }
    if (links_.empty()) {
        checkWithdrawn(0);
    }
}

void HostRole::checkWithdrawn(int attempt) {
    if (finished_) {
        return;
    }
    if (!peripheral_->phase().is(HostPeripheral::Phase::Kind::idle) || peripheral_->psm()) {
        fail("the peripheral is not idle after stop()");
        return;
    }
    const auto active = probe_.activeAdvertisements();
    if (!active || *active != 0) {
        if (attempt < withdrawChecks) {
            const std::weak_ptr<HostRole> weak = weak_from_this();
            pause_ = context_.main.after(withdrawCheckSpacingNs, [this, weak, attempt] {
                if (weak.lock()) {
                    checkWithdrawn(attempt + 1);
                }
            });
            return;
        }
        fail(active ? "BlueZ still holds " + std::to_string(*active) +
                          " advertisement(s) after the party ended"
                    : "BlueZ does not answer for its advertisements");
        return;
    }
    log_.say("party {}: ended; BlueZ holds no advertisement of ours", party_ + 1);
    if (party_ + 1 < CheckPlan::partyCount) {
        startParty(party_ + 1);
    } else {
        finish(0);
    }
}

void HostRole::fail(const std::string& why) {
    if (finished_) {
        return;
    }
    log_.say("FAILED: {}", why);
    finish(1);
}

void HostRole::finish(int status) {
    if (finished_) {
        return;
    }
    finished_ = true;
    deadline_.cancel();
    pause_.cancel();
    peripheral_->stop();
    for (const auto& [id, link] : links_) {
        link->close("check finished");
    }
    if (status == 0) {
        log_.say("PASSED");
    } else {
        log_.say("exiting with status {}", status);
    }
    if (onFinished) {
        context_.main.post([callback = onFinished, status] { callback(status); });
    }
}

} // namespace merriphonic
