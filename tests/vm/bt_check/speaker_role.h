#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "core/message.h"
#include "platform/device_context.h"
#include "platform/run_loop.h"
#include "tests/vm/bt_check/bluez_probe.h"
#include "tests/vm/bt_check/check_log.h"
#include "tests/vm/bt_check/checked_l2cap_sockets.h"
#include "tests/vm/bt_check/chunk_source.h"
#include "tests/vm/bt_check/pattern_track.h"
#include "tests/vm/bt_check/round_trip_stats.h"
#include "transport/connection.h"
#include "transport/speaker_central.h"

namespace merriphonic {

struct SpeakerOptions {
    // Where the host left its PSMs (psm-<n>) and where the figures go (metrics, key=value).
    std::filesystem::path results;
    // The signal strength every discovery must report, when known (the emulated controllers
    // report "not available").
    std::optional<int> expectedRssi;
};

// The speaker process of the Bluetooth check (see CheckPlan), whose exit status is the check's
// verdict. For each party: scan until the party's advertisement shows up, join it through
// SpeakerCentral (the PSM and info record read over GATT are checked against what the host
// published, the channel socket by CheckedL2capSockets), greet, time PING round trips, send a
// track through a BulkSource and compare the host's digest with its own; then see the party
// end as planned and BlueZ drop every link.
class SpeakerRole : public std::enable_shared_from_this<SpeakerRole> {
    struct Private {};

public:
    // The sockets are the radio's; they outlive the role.
    static std::shared_ptr<SpeakerRole> create(DeviceContext& context, const CheckLog& log,
                                               CheckedL2capSockets& sockets, BluezProbe probe,
                                               SpeakerOptions options);
    SpeakerRole(Private, DeviceContext& context, const CheckLog& log, CheckedL2capSockets& sockets,
                BluezProbe probe, SpeakerOptions options);

    // The exit status: 0 when every check passed.
    std::function<void(int)> onFinished;

    void start();

private:
    enum class Stage {
        scanning,
        joining,
        greeting,
        pinging,
        transferring,
        ending,     // party 1: the host ends the party
        losingLink, // party 2: the host drops the link
        leaving,    // BlueZ is to show no link left
        done,
    };

    void startParty(int party);
    void discovered(const DiscoveredHost& host);
    void joined(const std::shared_ptr<L2capChannel>& channel,
                const std::optional<std::string>& infoName);
    void linkDropped(const std::string& description);
    void handle(const Message& message, int64_t atNs);
    void pong(const Pong& pong, int64_t atNs);
    void startTransfer();
    void reported(const Status& report, int64_t atNs);
    void linkClosed(const std::string& reason);
    void partyOverIfSeenAll();
    void checkNoLinkLeft(int attempt);
    void partyOver();
    std::optional<uint16_t> publishedPsm() const;
    void expect(Stage stage, int64_t limitNs, const std::string& what);
    void metric(const std::string& key, const std::string& value);
    void fail(const std::string& why);
    void finish(int status);

    DeviceContext& context_;
    const CheckLog& log_;
    CheckedL2capSockets& sockets_;
    BluezProbe probe_;
    SpeakerOptions options_;
    std::shared_ptr<SpeakerCentral> central_;
    std::shared_ptr<Connection> link_;
    std::unique_ptr<PatternTrack> track_;
    std::shared_ptr<ChunkSource> source_;
    RoundTripStats roundTrips_;

    int party_ = -1;
    Stage stage_ = Stage::done;
    bool finished_ = false;
    std::set<std::string> seenNames_;
    int64_t scanStartNs_ = 0;
    int64_t connectNs_ = 0;
    uint32_t pingSeq_ = 0;
    bool byeSeen_ = false;
    bool linkEnded_ = false;
    bool gattDropped_ = false;
    ScopedTimer stageTimer_;
    ScopedTimer pause_;
};

} // namespace merriphonic
