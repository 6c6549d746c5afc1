#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/message.h"
#include "host/library_store.h"
#include "host/speaker_link.h"
#include "platform/device_context.h"
#include "platform/published.h"
#include "platform/run_loop.h"
#include "speaker/sync_player.h"
#include "transport/connection.h"
#include "transport/host_peripheral.h"

namespace merriphonic {

// The host's party controller: advertises the party, admits up to seven speakers, answers
// their HELLO, follows their STATUS, sends them the current track and prefetches the next,
// starts everybody together once all are ready, and commands PLAY, PAUSE, STOP and VOLUME. The
// host plays too, through its own player on the host clock.
//
// Main loop only. Connections and transfer schedulers do their stream work on the stream loop
// and report back here. The published fields are what the host screen binds to.
class HostSession : public std::enable_shared_from_this<HostSession> {
    struct Passkey {};

public:
    // How often the position is followed while playing.
    static constexpr int64_t tickPeriodNs = 250'000'000;
    // VOLUME leaves this long after the last change of the group volume.
    static constexpr int64_t volumeDebounceNs = 80'000'000;
    // The host's output is re-planned this long after the last change of its delay.
    static constexpr int64_t delayDebounceNs = 400'000'000;
    // A song ends this long after its nominal duration.
    static constexpr int64_t endGraceMs = 400;
    // A seek lands at least this far before the end.
    static constexpr int64_t seekEndMarginMs = 500;

    static std::shared_ptr<HostSession> create(DeviceContext& context,
                                               std::shared_ptr<LibraryStore> library);
    HostSession(Passkey, DeviceContext& context, std::shared_ptr<LibraryStore> library);
    ~HostSession();
    HostSession(const HostSession&) = delete;
    HostSession& operator=(const HostSession&) = delete;

    // ---- Observable state ----
    [[nodiscard]] const Published<bool>& isRunning() const { return isRunning_; }
    [[nodiscard]] const Published<std::string>& partyName() const { return partyName_; }
    [[nodiscard]] const Published<HostPeripheral::Phase>& phase() const { return phase_; }
    [[nodiscard]] const Published<RadioState>& bluetoothState() const { return bluetoothState_; }
    [[nodiscard]] const Published<std::vector<SpeakerRow>>& rows() const { return rows_; }
    // The library entry chosen to play.
    [[nodiscard]] const Published<std::optional<std::string>>& currentTrackId() const {
        return currentTrackId_;
    }
    [[nodiscard]] const Published<HostPlayback>& playback() const { return playback_; }
    [[nodiscard]] const Published<int64_t>& positionMs() const { return positionMs_; }
    // How much of the current track the joined speakers have, 0…1.
    [[nodiscard]] const Published<double>& sendProgress() const { return sendProgress_; }
    [[nodiscard]] const Published<double>& groupVolume() const { return groupVolume_; }
    [[nodiscard]] const Published<int>& delayMs() const { return delayMs_; }

    [[nodiscard]] LibraryStore& library() const { return *library_; }
    [[nodiscard]] HostPeripheral& peripheral() const { return *peripheral_; }
    [[nodiscard]] SyncPlayer& player() const { return *player_; }
    [[nodiscard]] const std::string& hostId() const { return hostId_; }
    // The PLAY in force while playing.
    [[nodiscard]] const std::optional<Play>& currentPlay() const { return currentPlay_; }
    [[nodiscard]] int64_t playGeneration() const { return playGeneration_; }
    [[nodiscard]] const std::optional<int64_t>& pausedAtMs() const { return pausedAtMs_; }
    // The key text of the current entry, when it has one.
    [[nodiscard]] std::optional<std::string> currentKey() const;
    // Links in admission order (joined or not), for inspection.
    [[nodiscard]] std::vector<const SpeakerLink*> linksInOrder() const;

    // ---- Party ----
    // Opens the party; with advertise false it runs without the radio (speakers are then
    // handed over through accept()).
    void start(const std::string& partyName, bool advertise = true);
    // BYE to every joined speaker, closes the others, stops advertising and playing.
    void endParty();
    // Admits a speaker's connection, or turns it away when the party is full.
    void accept(const std::shared_ptr<Connection>& connection);

    // ---- Playback (user actions) ----
    void select(const LibraryTrack& entry);
    void togglePlayPause();
    void pause();
    void next();
    void seek(int64_t toMs);
    void remove(const LibraryTrack& entry);
    // Saves, applies and (debounced) broadcasts the group volume, clamped to 0…1.
    void setGroupVolume(double volume);
    // Saves and applies the host's own output delay, clamped to the delay range; the output is
    // re-planned once the changes stop.
    void setDelayMs(int delayMs);

private:
    // host_session.cpp: the party and its speakers.
    void acceptChannel(const std::shared_ptr<L2capChannel>& channel);
    void handle(SpeakerLink& link, const Message& message);
    void handleHello(SpeakerLink& link, const Hello& hello);
    void handleStatus(SpeakerLink& link, const Status& status);
    void handleTrackHave(SpeakerLink& link, const TrackHave& have);
    // A transfer of the song ended before its end; a wire file found shorter than its entry
    // says takes the song out of play.
    void transferStopped(const std::string& key);
    void dropLink(const std::string& id, const std::string& reason);
    void release(const std::string& id); // forgets a closing connection kept until its close
    void send(const SpeakerLink& link, const Message& message) const;
    void broadcast(const Message& message) const;
    void offer(const SpeakerLink& link, const LibraryTrack& entry) const;
    void rebuildRows();
    void updateSendProgress();
    [[nodiscard]] std::vector<SpeakerLink*> joinedLinks() const;
    [[nodiscard]] std::optional<LibraryTrack> currentEntry() const;
    [[nodiscard]] bool isAboutCurrent(const Status& status) const;

    // host_playback.cpp: the playback decisions.
    void checkReadyToStart();
    void begin(const Play& play);
    void sendLatePlayIfNeeded(SpeakerLink& link);
    void sendLatePauseIfNeeded(SpeakerLink& link);
    void prefetch(SpeakerLink& link);
    [[nodiscard]] int64_t clampedPosition(const Play& play) const;
    [[nodiscard]] std::optional<LibraryTrack>
    nextTrack(const std::optional<std::string>& after) const;
    void stopAll();
    void autoAdvance();
    void tick();
    void playerEnded();
    [[nodiscard]] int64_t nowNs() const { return context_.clock.nowNs(); }

    DeviceContext& context_;
    const Log& log_;

    Published<bool> isRunning_{false};
    Published<std::string> partyName_;
    Published<HostPeripheral::Phase> phase_;
    Published<RadioState> bluetoothState_{RadioState::unknown};
    Published<std::vector<SpeakerRow>> rows_;
    Published<std::optional<std::string>> currentTrackId_;
    Published<HostPlayback> playback_{HostPlayback::idle};
    Published<int64_t> positionMs_{0};
    Published<double> sendProgress_{0.0};
    Published<double> groupVolume_;
    Published<int> delayMs_;

    std::shared_ptr<LibraryStore> library_;
    std::shared_ptr<HostPeripheral> peripheral_;
    std::shared_ptr<SyncPlayer> player_;
    std::map<std::string, std::unique_ptr<SpeakerLink>> links_; // by connection id
    std::vector<std::string> linkOrder_;                        // admission order
    // Connections turned away or let go at the end of a party, kept until their BYE is out
    // and they have closed.
    std::vector<std::shared_ptr<Connection>> rejected_;
    std::optional<Play> currentPlay_;
    int64_t playGeneration_ = 0;
    std::optional<int64_t> pausedAtMs_;
    ScopedTimer tickTimer_;
    ScopedTimer volumeWork_;
    ScopedTimer delayWork_;
    std::string hostId_;
};

} // namespace merriphonic
