#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "app/published_watch.h"
#include "tools/cli/cli_command.h"
#include "tools/cli/cli_text.h"
#include "transport/connection.h"

namespace merriphonic {

// merriphonic-cli join: scans, joins the party named (or, a moment after the first party is
// seen, the one with the strongest signal), plays as a speaker and shows its status line. On
// stop it leaves with BYE "left" and exits once the BYE is out. The host ending the party
// ends the command too, successfully; anything else that ends the link is a failure.
class JoinCommand final : public CliCommand {
public:
    // Without a party name, how long to listen for stronger parties after the first one.
    static constexpr int64_t chooseAfterNs = 1'500'000'000;

    JoinCommand(CliContext cli, CliOptions options);
    ~JoinCommand() override;

    void start() override;
    void stop() override;

    [[nodiscard]] SpeakerView view() const;

private:
    void discovered();
    void choose(const DiscoveredHost& party);
    void phaseChanged();
    void refresh();
    void fail(const std::string& message);
    void leave(int code);
    void waitForGoodbye(const std::weak_ptr<Connection>& connection, int64_t untilNs, int code);

    CliContext cli_;
    CliOptions options_;
    SpeakerSession& speaker_;
    PublishedWatch watch_;
    ScopedTimer refreshTimer_;
    ScopedTimer timeoutTimer_;
    ScopedTimer chooseTimer_;
    ScopedTimer closeTimer_;
    std::optional<DiscoveredHost> chosen_;
    SpeakerSession::Phase::Kind shownPhase_ = SpeakerSession::Phase::Kind::idle;
    bool ending_ = false;
};

// merriphonic-cli parties: scans for the given time, then lists the parties seen, strongest
// first. Fails when there were none.
class PartiesCommand final : public CliCommand {
public:
    PartiesCommand(CliContext cli, CliOptions options);
    ~PartiesCommand() override;

    void start() override;
    void stop() override;

private:
    void report();

    CliContext cli_;
    CliOptions options_;
    PublishedWatch watch_;
    ScopedTimer doneTimer_;
    bool ending_ = false;
};

} // namespace merriphonic
