#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "core/clock_sync.h"
#include "core/grid_clock_estimator.h"
#include "core/message.h"
#include "core/speaker_state.h"
#include "platform/device_context.h"
#include "platform/published.h"
#include "platform/run_loop.h"
#include "platform/unique_fd.h"
#include "speaker/sync_player.h"
#include "speaker/track_cache.h"
#include "transport/connection.h"
#include "transport/discovered_host.h"
#include "transport/speaker_central.h"

namespace merriphonic {

// The speaker's party controller: finds parties, joins one, greets the host, keeps the host
// clock estimate fed with PINGs, receives and verifies songs into the cache, plays, pauses and
// stops on the host's commands and reports its state. Made once and kept; joining and leaving
// start and stop it.
//
// Main loop only; only the hash of a finished song runs in the background. The published
// fields are what the join and speaker screens bind to.
class SpeakerSession : public std::enable_shared_from_this<SpeakerSession> {
    struct Passkey {};

public:
    // Where the speaker is in finding and joining a party.
    struct Phase {
        enum class Kind { disconnected, failed, idle, scanning, connecting, syncing, connected };
        Kind kind = Kind::idle;
        std::string text; // the sentence shown for disconnected and failed

        static Phase idle() { return {}; }
        static Phase scanning() { return {Kind::scanning, {}}; }
        static Phase connecting() { return {Kind::connecting, {}}; }
        static Phase syncing() { return {Kind::syncing, {}}; }
        static Phase connected() { return {Kind::connected, {}}; }
        static Phase disconnected(std::string text) {
            return {Kind::disconnected, std::move(text)};
        }
        static Phase failed(std::string text) { return {Kind::failed, std::move(text)}; }
        [[nodiscard]] bool is(Kind k) const { return kind == k; }
        bool operator==(const Phase&) const = default;
    };

    static constexpr int64_t pingPeriodNs = 50'000'000;
    static constexpr int64_t burstPeriodNs = 2'000'000'000;
    static constexpr int64_t statusPeriodNs = 1'000'000'000;
    // A STATUS goes out at least this often even when nothing changes.
    static constexpr int64_t statusQuietNs = 5'000'000'000;
    static constexpr int64_t uiPeriodNs = 250'000'000;
    static constexpr int64_t prunePeriodNs = 2'000'000'000;
    // A party not heard from for this long leaves the list.
    static constexpr int64_t staleHostNs = 10'000'000'000;
    // The list keeps the strongest this many parties: a crowd of advertisers costs no more.
    static constexpr size_t maxDiscoveredHosts = 32;
    static constexpr int64_t delayDebounceNs = 400'000'000;
    // After a TRACK_DONE that came before the last bytes, how long to wait for them.
    static constexpr int64_t earlyDoneRecheckNs = 3'000'000'000;
    // Re-requests of one offered song, shared by the early-TRACK_DONE and hash-mismatch paths.
    static constexpr int maxRetries = 3;
    static constexpr const char* hashWorkLabel = "app.merriphonic.verify";
    // A start not yet heard is planned again when the clock estimate moves by more than this.
    static constexpr int64_t replanThresholdNs = 200'000;
    // Once playing, a jump of the estimate by more than this (beyond what the skew explains)
    // starts the song there again.
    static constexpr int64_t resyncThresholdNs = 1'500'000;
    // A PONG this soon after a song chunk may have waited behind chunks in its event.
    static constexpr int64_t quietAfterChunkNs = 200'000'000;
    // An exchange whose offset lies further than this, beyond what the two round trips and
    // the clocks' skew allow, from the best one before it means the local clock jumped.
    static constexpr int64_t clockJumpMarginNs = 20'000'000;
    // The most two clocks drift apart, in ns per ns, far beyond any crystal's error.
    static constexpr double clockJumpMaxDrift = 1e-3;

    static std::shared_ptr<SpeakerSession> create(DeviceContext& context);
    SpeakerSession(Passkey, DeviceContext& context);
    ~SpeakerSession();
    SpeakerSession(const SpeakerSession&) = delete;
    SpeakerSession& operator=(const SpeakerSession&) = delete;

    // ---- Observable state ----
    [[nodiscard]] const Published<Phase>& phase() const { return phase_; }
    // Parties found by the current scan, strongest signal first.
    [[nodiscard]] const Published<std::vector<DiscoveredHost>>& discovered() const {
        return discovered_;
    }
    [[nodiscard]] const Published<RadioState>& bluetoothState() const { return bluetoothState_; }
    [[nodiscard]] const Published<std::string>& partyName() const { return partyName_; }
    // What this speaker reports to the host.
    [[nodiscard]] const Published<SpeakerState>& state() const { return state_; }
    [[nodiscard]] const Published<std::string>& title() const { return title_; }
    [[nodiscard]] const Published<std::string>& artist() const { return artist_; }
    [[nodiscard]] const Published<int64_t>& durationMs() const { return durationMs_; }
    [[nodiscard]] const Published<int64_t>& positionMs() const { return positionMs_; }
    [[nodiscard]] const Published<int>& loadingPercent() const { return loadingPercent_; }
    // Half the best clock round trip.
    [[nodiscard]] const Published<std::optional<double>>& syncMs() const { return syncMs_; }
    [[nodiscard]] const Published<int>& delayMs() const { return delayMs_; }
    [[nodiscard]] const Published<double>& localVolume() const { return localVolume_; }

    [[nodiscard]] SpeakerCentral& central() const { return *central_; }
    [[nodiscard]] SyncPlayer& player() const { return *player_; }
    [[nodiscard]] const ClockSync& clock() const { return clock_; }
    [[nodiscard]] const GridClockEstimator& gridClock() const { return gridClock_; }
    // Which estimate of the host clock the player follows. STATUS and the screen always use
    // the minimum-round-trip sample's.
    enum class ClockEstimate { minimumRoundTrip, eventGrid };
    void setClockEstimate(ClockEstimate estimate) { clockEstimate_ = estimate; }
    // The host clock minus this device's clock as the player uses it, at local time nowNs.
    [[nodiscard]] std::optional<int64_t> playerOffsetNs(int64_t nowNs) const;
    [[nodiscard]] const std::shared_ptr<Connection>& connection() const { return connection_; }
    [[nodiscard]] const std::set<std::string>& readyKeys() const { return readyKeys_; }
    [[nodiscard]] const std::optional<Play>& currentPlay() const { return currentPlay_; }
    [[nodiscard]] const std::filesystem::path& cacheFolder() const { return cacheFolder_; }
    [[nodiscard]] double groupVolume() const { return groupVolume_; }

    // ---- User actions ----
    void startScanning();
    void stopScanning();
    void join(const DiscoveredHost& host);
    // Joins the last chosen host again (after a failure or a disconnection).
    void retry();
    // Leaves the party: BYE "left" to the host, then teardown; the phase becomes idle.
    void leave();
    // Ends everything of the current party; keeps the phase, the songs received and the host.
    void teardown();
    // This device's extra output delay, clamped to the delay range; playback is re-planned
    // once the changes stop.
    void setDelayMs(int delayMs);
    // This device's own volume factor.
    void setLocalVolume(double volume);

    // Takes over an opened channel's connection to the host and greets it.
    void attach(const std::shared_ptr<Connection>& connection,
                const std::optional<std::string>& partyName);

private:
    // An open cache file receiving chunks: one descriptor for the whole transfer, so that a
    // chunk costs one positioned write.
    struct Receiver {
        std::filesystem::path url;
        UniqueFd fd;
        int64_t length = 0; // bytes held contiguously from offset 0

        Receiver(std::filesystem::path url, int fd, int64_t length);
        // Writes the whole buffer at the offset; the OS error otherwise.
        [[nodiscard]] std::error_code write(int64_t offset, const Bytes& data) const;
    };

    // speaker_session.cpp: joining, the clock, commands, state and the screen.
    void upsert(const DiscoveredHost& host);
    void prune();
    void startTimers();
    void stopTimers();
    void pingTick();
    void statusTick();
    void handle(const Message& message, int64_t receiveNs);
    void handlePong(const Pong& pong, int64_t t4);
    // Whether an exchange contradicts the estimate: then the local clock jumped.
    [[nodiscard]] bool clockJumped(const ClockSync::Estimate& exchange, int64_t t4) const;
    void handlePlay(const Play& received);
    void handlePause(const Pause& pause);
    void handleVolume(const Volume& volume);
    void handleStop();
    void startPlayer();
    // Plans the start again when the clock estimate has moved before any sound went out.
    void replanIfClockMoved();
    void playerEnded();
    [[nodiscard]] SpeakerState computeState() const;
    bool updateState();
    void sendStatus();
    void refreshUI();
    void send(const Message& message) const;
    void applyNodeVolume();
    void radioStateChanged(RadioState state);
    [[nodiscard]] std::optional<std::string> keyInFocus() const;
    [[nodiscard]] std::optional<std::filesystem::path> playableFile(const std::string& key) const;

    // speaker_reception.cpp: offers, chunks, TRACK_DONE, verification.
    void handleOffer(const TrackOffer& received);
    void forgetIdleOffers();
    void handleChunk(const TrackChunk& chunk);
    void handleDone(const TrackKey& key);
    Receiver* receiver(const std::string& key, const TrackOffer& offer);
    void closeReceiver(const std::string& key);
    void recheckEarlyDone(const std::string& key, int64_t had);
    void finalize(const std::string& key);
    void verified(const std::string& key, const std::optional<TrackKey>& computed);
    void trackReady(const std::string& key);
    [[nodiscard]] std::filesystem::path cacheFile(const std::string& key,
                                                  const TrackOffer& offer) const;
    // Contiguous bytes held of a song: its open receiver's, else its cache file's size.
    [[nodiscard]] int64_t heldBytes(const std::string& key, const TrackOffer& offer) const;

    DeviceContext& context_;
    const Log& log_;

    Published<Phase> phase_;
    Published<std::vector<DiscoveredHost>> discovered_;
    Published<RadioState> bluetoothState_{RadioState::unknown};
    Published<std::string> partyName_;
    Published<SpeakerState> state_{SpeakerState::syncing};
    Published<std::string> title_;
    Published<std::string> artist_;
    Published<int64_t> durationMs_{0};
    Published<int64_t> positionMs_{0};
    Published<int> loadingPercent_{0};
    Published<std::optional<double>> syncMs_;
    Published<int> delayMs_;
    Published<double> localVolume_;

    std::filesystem::path cacheFolder_;
    std::shared_ptr<SpeakerCentral> central_;
    std::shared_ptr<SyncPlayer> player_;
    std::shared_ptr<Connection> connection_;
    std::optional<std::string> hostPeripheralId_;
    ClockSync clock_;
    GridClockEstimator gridClock_;
    ClockEstimate clockEstimate_ = ClockEstimate::eventGrid;
    std::map<std::string, TrackOffer> offers_;
    std::map<std::string, std::unique_ptr<Receiver>> receivers_;
    std::set<std::string> readyKeys_;
    std::map<std::string, int> retries_;    // TRACK_HAVE requests after an early TRACK_DONE
    std::map<std::string, int> mismatches_; // hash mismatches of the song's file
    std::set<std::string> finalizing_;
    std::map<std::string, ScopedTimer> earlyDone_;
    std::optional<std::string> focusKey_;
    std::optional<Play> currentPlay_;
    std::optional<Play> lastPlay_;
    std::optional<Pause> paused_;
    double groupVolume_ = 1.0;
    uint32_t pingSeq_ = 0;
    uint32_t pongSeq_ = 0; // the last PING answered; a PONG must answer a later one
    int pingsDue_ = 0;
    ScopedTimer pingTimer_;
    ScopedTimer burstTimer_;
    ScopedTimer statusTimer_;
    ScopedTimer uiTimer_;
    ScopedTimer pruneTimer_;
    std::optional<int64_t> lastStatusAtNs_;
    // When the last song chunk arrived: PONGs near it rode behind chunks.
    std::optional<int64_t> lastChunkAtNs_;
    // The offset the player's current plan was made with.
    std::optional<int64_t> plannedOffsetNs_;
    // The estimate as last consulted while playing, to tell its jumps from its drift.
    struct OffsetSeen {
        int64_t atNs = 0;
        int64_t offsetNs = 0;
    };
    std::optional<OffsetSeen> lastOffset_;
    ScopedTimer delayWork_;
};

} // namespace merriphonic
