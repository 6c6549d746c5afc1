#include "tools/cli/join_command.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include <fmt/format.h>

#include "app/screen_text.h"
#include "core/time_units.h"

namespace merriphonic {

namespace {

int64_t secondsToNs(double seconds) {
    return std::llround(seconds * nsPerSecond);
}

// The radio's states that no waiting will change.
std::optional<std::string> radioProblem(RadioState state) {
    if (state == RadioState::unsupported || state == RadioState::unauthorized) {
        return ScreenText::bluetoothBanner(state).value_or("Bluetooth is unavailable");
    }
    return std::nullopt;
}

} // namespace

// ---- join ----

JoinCommand::JoinCommand(CliContext cli, CliOptions options)
    : cli_(std::move(cli)), options_(std::move(options)), speaker_(*cli_.model.speaker()) {}

JoinCommand::~JoinCommand() = default;

void JoinCommand::start() {
    cli_.model.joinAsSpeaker();
    if (const std::optional<std::string>& denied = cli_.model.permissionMessage().get()) {
        fail(*denied);
        return;
    }
    watch_.on(speaker_.discovered(), [this] { discovered(); });
    watch_.on(speaker_.phase(), [this] { phaseChanged(); });
    watch_.on(speaker_.bluetoothState(), [this] {
        if (const std::optional<std::string> problem =
                radioProblem(speaker_.bluetoothState().get())) {
            fail(*problem);
        }
    });
    timeoutTimer_ = cli_.device.main.after(secondsToNs(options_.timeoutS), [this] {
        if (chosen_) {
            return;
        }
        fail(options_.party ? fmt::format("no party named \"{}\" found within {} s",
                                          *options_.party, options_.timeoutS)
                            : fmt::format("no party found within {} s", options_.timeoutS));
    });
    refreshTimer_ = cli_.device.main.every(refreshPeriodNs, [this] { refresh(); });
    cli_.view.say(options_.party ? fmt::format("Looking for \"{}\"…", *options_.party)
                                 : std::string("Looking for parties…"));
    discovered();
}

void JoinCommand::stop() {
    leave(CliOptions::exitOk);
}

SpeakerView JoinCommand::view() const {
    SpeakerView view;
    view.partyName = speaker_.partyName().get();
    view.phase = speaker_.phase().get();
    view.state = speaker_.state().get();
    view.loadingPercent = speaker_.loadingPercent().get();
    view.syncMs = speaker_.syncMs().get();
    view.title = speaker_.title().get();
    view.artist = speaker_.artist().get();
    view.positionMs = speaker_.positionMs().get();
    view.durationMs = speaker_.durationMs().get();
    return view;
}

void JoinCommand::discovered() {
    if (chosen_ || ending_) {
        return;
    }
    const std::vector<DiscoveredHost>& parties = speaker_.discovered().get();
    if (options_.party) {
        const auto named =
            std::find_if(parties.begin(), parties.end(), [&](const DiscoveredHost& party) {
                return party.name == *options_.party;
            });
        if (named != parties.end()) {
            choose(*named);
        }
        return;
    }
    if (!parties.empty() && !chooseTimer_.isActive()) {
        chooseTimer_ = cli_.device.main.after(chooseAfterNs, [this] {
            const std::vector<DiscoveredHost>& seen = speaker_.discovered().get();
            if (!seen.empty()) {
                choose(seen.front()); // the list is strongest first
            }
        });
    }
}

void JoinCommand::choose(const DiscoveredHost& party) {
    if (chosen_ || ending_) {
        return;
    }
    chosen_ = party;
    chooseTimer_.cancel();
    timeoutTimer_.cancel();
    cli_.view.say(fmt::format("Joining \"{}\" ({} dBm)", party.name, party.rssi));
    cli_.model.chooseHost(party);
}

void JoinCommand::phaseChanged() {
    if (ending_) {
        return;
    }
    using Kind = SpeakerSession::Phase::Kind;
    const SpeakerSession::Phase& phase = speaker_.phase().get();
    if (phase.kind != shownPhase_) {
        shownPhase_ = phase.kind;
        if (phase.kind == Kind::connecting || phase.kind == Kind::syncing ||
            phase.kind == Kind::connected) {
            cli_.view.say(CliText::phase(phase));
        }
    }
    if (phase.is(Kind::failed)) {
        fail(phase.text);
    } else if (phase.is(Kind::disconnected)) {
        // The host's BYE is the party's normal end; a lost link is not.
        if (phase.text == "The host ended the party") {
            cli_.view.say(phase.text);
            leave(CliOptions::exitOk);
        } else {
            fail(phase.text);
        }
    }
}

void JoinCommand::refresh() {
    if (!ending_) {
        cli_.view.show({CliText::speakerLine(view())}, cli_.device.clock.nowNs());
    }
}

void JoinCommand::fail(const std::string& message) {
    if (ending_) {
        return;
    }
    cli_.error(message);
    leave(CliOptions::exitFailed);
}

void JoinCommand::leave(int code) {
    if (ending_) {
        return;
    }
    ending_ = true;
    refreshTimer_.cancel();
    timeoutTimer_.cancel();
    chooseTimer_.cancel();
    watch_.clear();
    cli_.view.settle();
    const std::weak_ptr<Connection> connection = speaker_.connection();
    if (connection.lock()) {
        cli_.view.say("Leaving the party");
    }
    cli_.model.leaveSpeaker();
    waitForGoodbye(connection,
                   cli_.device.clock.nowNs() + Connection::byeDeadlineNs + closeCheckPeriodNs * 4,
                   code);
}

void JoinCommand::waitForGoodbye(const std::weak_ptr<Connection>& connection, int64_t untilNs,
                                 int code) {
    const std::shared_ptr<Connection> open = connection.lock();
    if (!open || open->isClosed() || cli_.device.clock.nowNs() >= untilNs) {
        cli_.finish(code);
        return;
    }
    closeTimer_ = cli_.device.main.after(closeCheckPeriodNs, [this, connection, untilNs, code] {
        waitForGoodbye(connection, untilNs, code);
    });
}

// ---- parties ----

PartiesCommand::PartiesCommand(CliContext cli, CliOptions options)
    : cli_(std::move(cli)), options_(std::move(options)) {}

PartiesCommand::~PartiesCommand() = default;

void PartiesCommand::start() {
    SpeakerSession& speaker = *cli_.model.speaker();
    cli_.model.joinAsSpeaker();
    if (const std::optional<std::string>& denied = cli_.model.permissionMessage().get()) {
        ending_ = true;
        cli_.error(*denied);
        cli_.finish(CliOptions::exitFailed);
        return;
    }
    watch_.on(speaker.bluetoothState(), [this, &speaker] {
        if (const std::optional<std::string> problem =
                radioProblem(speaker.bluetoothState().get())) {
            ending_ = true;
            watch_.clear();
            doneTimer_.cancel();
            cli_.model.leaveSpeaker();
            cli_.error(*problem);
            cli_.finish(CliOptions::exitFailed);
        }
    });
    doneTimer_ = cli_.device.main.after(secondsToNs(options_.timeoutS), [this] { report(); });
}

void PartiesCommand::stop() {
    report();
}

void PartiesCommand::report() {
    if (ending_) {
        return;
    }
    ending_ = true;
    watch_.clear();
    doneTimer_.cancel();
    const std::vector<DiscoveredHost> parties = cli_.model.speaker()->discovered().get();
    cli_.model.leaveSpeaker();
    for (const DiscoveredHost& party : parties) {
        cli_.view.say(CliText::partyLine(party));
    }
    if (parties.empty()) {
        cli_.error("no parties found");
        cli_.finish(CliOptions::exitFailed);
        return;
    }
    cli_.finish(CliOptions::exitOk);
}

} // namespace merriphonic
