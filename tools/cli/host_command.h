#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/published_watch.h"
#include "tools/cli/cli_command.h"
#include "tools/cli/cli_text.h"
#include "transport/connection.h"

namespace merriphonic {

// merriphonic-cli host: hosts the party, imports the files, plays the library in order once
// it is ready (and the speakers waited for have joined), shows the table of speakers, and on
// stop ends the party: BYE to every speaker, advertising withdrawn, then exit once the BYEs
// are out.
class HostCommand final : public CliCommand {
public:
    HostCommand(CliContext cli, CliOptions options);
    ~HostCommand() override;

    void start() override;
    void stop() override;

    // The table's content now.
    [[nodiscard]] HostView view() const;

private:
    void check();
    // Says who joined and left, and how long the current song took to reach every speaker.
    void tellChanges();
    void refresh();
    void fail(const std::string& message);
    void endParty(int code);
    void waitForGoodbyes(std::vector<std::weak_ptr<Connection>> connections, int64_t untilNs,
                         int code);
    [[nodiscard]] int joinedSpeakers() const;
    [[nodiscard]] bool importsSettled() const;

    CliContext cli_;
    CliOptions options_;
    HostSession& host_;
    LibraryStore& library_;
    PublishedWatch watch_;
    ScopedTimer refreshTimer_;
    ScopedTimer closeTimer_;
    size_t tracksBefore_ = 0;
    std::map<std::string, std::string> joined_; // connection id → speaker name
    std::optional<int64_t> sendingSinceNs_;
    bool played_ = false;
    bool checkPending_ = false;
    // Tasks posted to the main loop run only while this lives.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    bool ending_ = false;
};

} // namespace merriphonic
