#include "tools/cli/host_command.h"

#include <algorithm>
#include <system_error>
#include <utility>

#include <fmt/format.h>

#include "app/screen_text.h"

namespace merriphonic {

HostCommand::HostCommand(CliContext cli, CliOptions options)
    : cli_(std::move(cli)), options_(std::move(options)), host_(*cli_.model.host()),
      library_(*cli_.model.library()) {}

HostCommand::~HostCommand() = default;

void HostCommand::start() {
    for (const std::filesystem::path& file : options_.imports) {
        std::error_code error;
        if (!std::filesystem::is_regular_file(file, error)) {
            fail(fmt::format("cannot import {}: {}", file.string(),
                             error ? error.message() : "not a readable file"));
            return;
        }
    }
    if (const std::optional<std::string>& problem = library_.folderError()) {
        fail(*problem);
        return;
    }
    cli_.model.hostParty(options_.partyName);
    if (const std::optional<std::string>& denied = cli_.model.permissionMessage().get()) {
        fail(*denied);
        return;
    }
    tracksBefore_ = library_.tracks->size();
    if (!options_.imports.empty()) {
        library_.importFiles(options_.imports);
    }
    // Checked once the change is complete: the library empties `importing` before it lists
    // the entry a copy became.
    const auto changed = [this] {
        if (!checkPending_) {
            checkPending_ = true;
            cli_.device.main.post([weak = std::weak_ptr<bool>(alive_), this] {
                if (weak.lock()) {
                    checkPending_ = false;
                    check();
                }
            });
        }
    };
    watch_.on(host_.phase(), changed);
    watch_.on(host_.bluetoothState(), changed);
    watch_.on(host_.rows(), changed);
    watch_.on(library_.tracks, changed);
    watch_.on(library_.importing, changed);
    watch_.on(host_.sendProgress(), changed);
    refreshTimer_ = cli_.device.main.every(refreshPeriodNs, [this] { refresh(); });
    check();
    refresh();
}

void HostCommand::stop() {
    endParty(CliOptions::exitOk);
}

HostView HostCommand::view() const {
    HostView view;
    view.partyName = host_.partyName().get();
    view.header = ScreenText::hostHeader(host_.phase().get(), host_.bluetoothState().get());
    if (const std::optional<std::string> banner =
            ScreenText::bluetoothBanner(host_.bluetoothState().get())) {
        view.header = *banner;
    }
    view.rows = host_.rows().get();
    if (const std::optional<LibraryTrack> song = library_.track(host_.currentTrackId().get())) {
        view.title = song->title;
        view.artist = song->artist;
        view.durationMs = song->durationMs;
        view.positionMs = host_.positionMs().get();
        view.playback = host_.playback().get();
        if (joinedSpeakers() > 0 && host_.sendProgress().get() < 1.0) {
            view.sendProgress = host_.sendProgress().get();
        }
    }
    for (const LibraryTrack& track : library_.tracks.get()) {
        ++view.songs;
        view.preparing += track.state == LibraryTrack::State::preparing ? 1 : 0;
    }
    view.preparing += static_cast<int>(library_.importing->size());
    return view;
}

void HostCommand::refresh() {
    if (!ending_) {
        cli_.view.show(CliText::hostTable(view()), cli_.device.clock.nowNs());
    }
}

int HostCommand::joinedSpeakers() const {
    const std::vector<const SpeakerLink*> links = host_.linksInOrder();
    return static_cast<int>(std::count_if(links.begin(), links.end(),
                                          [](const SpeakerLink* link) { return link->joined(); }));
}

bool HostCommand::importsSettled() const {
    if (!library_.importing->empty()) {
        return false;
    }
    const std::vector<LibraryTrack>& tracks = library_.tracks.get();
    return std::none_of(
        tracks.begin() + static_cast<std::ptrdiff_t>(std::min(tracksBefore_, tracks.size())),
        tracks.end(),
        [](const LibraryTrack& track) { return track.state == LibraryTrack::State::preparing; });
}

void HostCommand::tellChanges() {
    std::map<std::string, std::string> joined;
    for (const SpeakerLink* link : host_.linksInOrder()) {
        if (link->joined()) {
            joined.emplace(link->connection->id(), link->logName());
        }
    }
    for (const auto& [id, name] : joined) {
        if (!joined_.contains(id)) {
            cli_.view.say(fmt::format("{} joined", name));
        }
    }
    for (const auto& [id, name] : joined_) {
        if (!joined.contains(id)) {
            cli_.view.say(fmt::format("{} left", name));
        }
    }
    joined_ = std::move(joined);

    const bool sending = played_ && !joined_.empty() && host_.sendProgress().get() < 1.0;
    if (sending && !sendingSinceNs_) {
        sendingSinceNs_ = cli_.device.clock.nowNs();
    } else if (!sending && sendingSinceNs_ && played_ && !joined_.empty()) {
        const auto seconds =
            static_cast<double>(cli_.device.clock.nowNs() - *sendingSinceNs_) / 1e9;
        cli_.view.say(fmt::format("Song sent to {} speaker{} in {:.2f} s", joined_.size(),
                                  joined_.size() == 1 ? "" : "s", seconds));
        sendingSinceNs_.reset();
    }
}

void HostCommand::check() {
    if (ending_) {
        return;
    }
    tellChanges();
    if (host_.phase()->is(HostPeripheral::Phase::Kind::failed)) {
        fail(host_.phase()->text);
        return;
    }
    const RadioState radio = host_.bluetoothState().get();
    if (radio == RadioState::unsupported || radio == RadioState::unauthorized) {
        fail(ScreenText::bluetoothBanner(radio).value_or("Bluetooth is unavailable"));
        return;
    }
    if (!importsSettled()) {
        return;
    }
    // Every file given is an entry by now, unless its copy failed.
    const std::vector<LibraryTrack>& tracks = library_.tracks.get();
    const size_t added = tracks.size() - std::min(tracksBefore_, tracks.size());
    if (added < options_.imports.size()) {
        fail(fmt::format("{} of {} files could not be copied into the library",
                         options_.imports.size() - added, options_.imports.size()));
        return;
    }
    for (size_t i = tracksBefore_; i < tracks.size(); ++i) {
        if (tracks[i].state == LibraryTrack::State::failed) {
            fail(fmt::format("cannot import {}: {}", tracks[i].title,
                             tracks[i].error.value_or("preparation failed")));
            return;
        }
    }
    if (!options_.play || played_ || joinedSpeakers() < options_.waitForSpeakers) {
        return;
    }
    const auto first = std::find_if(tracks.begin(), tracks.end(), ScreenText::isSelectable);
    if (first == tracks.end()) {
        fail("nothing to play: the library has no song ready");
        return;
    }
    played_ = true;
    cli_.view.say(fmt::format("Playing the library from \"{}\"", first->title));
    host_.select(*first);
}

void HostCommand::fail(const std::string& message) {
    if (ending_) {
        return;
    }
    cli_.error(message);
    endParty(CliOptions::exitFailed);
}

void HostCommand::endParty(int code) {
    if (ending_) {
        return;
    }
    ending_ = true;
    refreshTimer_.cancel();
    watch_.clear();
    cli_.view.settle();
    std::vector<std::weak_ptr<Connection>> connections;
    for (const SpeakerLink* link : host_.linksInOrder()) {
        connections.emplace_back(link->connection);
    }
    if (host_.isRunning().get()) {
        cli_.model.endParty();
        cli_.view.say("Party ended");
    }
    // A BYE that cannot be written gives up after the connection's own deadline.
    const int64_t untilNs =
        cli_.device.clock.nowNs() + Connection::byeDeadlineNs + closeCheckPeriodNs * 4;
    waitForGoodbyes(std::move(connections), untilNs, code);
}

void HostCommand::waitForGoodbyes(std::vector<std::weak_ptr<Connection>> connections,
                                  int64_t untilNs, int code) {
    std::erase_if(connections, [](const std::weak_ptr<Connection>& weak) {
        const std::shared_ptr<Connection> connection = weak.lock();
        return !connection || connection->isClosed();
    });
    if (connections.empty() || cli_.device.clock.nowNs() >= untilNs) {
        cli_.finish(code);
        return;
    }
    closeTimer_ = cli_.device.main.after(
        closeCheckPeriodNs, [this, connections = std::move(connections), untilNs, code]() mutable {
            waitForGoodbyes(std::move(connections), untilNs, code);
        });
}

} // namespace merriphonic
