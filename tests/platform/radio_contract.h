#pragma once

// The radio contract: what the host and speaker sessions rely on from any PeripheralManager /
// CentralManager pair, as one typed suite. Each implementation's test binary instantiates it
// with a harness of its own:
//
//   struct Radios {
//       static constexpr bool canPowerCycle;     // the radio can be switched off and on
//       Radios();                                // both radios on
//       void makeUnusable();                     // for managers made from then on
//       std::unique_ptr<PeripheralManager> makeHost(std::shared_ptr<RadioRecorder>);
//       std::unique_ptr<CentralManager> makeSpeaker(std::shared_ptr<RadioRecorder>);
//       bool runUntil(const std::function<bool()>& done);  // false when it never held
//       void runFor(int64_t ms);                 // lets everything on its way arrive
//       void setPowered(bool host, bool on);     // when canPowerCycle
//       std::string speakerIdAtHost();           // the peer id of the host's channels
//       RunLoop& streams(bool host);             // where that side's channel streams run
//   };

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/sync_protocol.h"
#include "core/uuid.h"
#include "platform/radio.h"
#include "tests/support/stream_endpoint.h"

namespace merriphonic::radio_test {

// One event of either delegate, as values.
struct RadioEvent {
    enum class Kind {
        state,
        published,
        serviceAdded,
        advertising,
        hostChannel,
        unpublished,
        discovered,
        connected,
        failedToConnect,
        disconnected,
        services,
        characteristics,
        value,
        channel,
    };
    Kind kind = Kind::state;
    std::optional<RadioError> error;
    RadioState state = RadioState::unknown;
    uint16_t psm = 0;
    std::string uuid; // the service added or explored, the characteristic read
    std::shared_ptr<RemotePeripheral> peripheral;
    Advertisement advertisement;
    int rssi = 0;
    std::optional<Bytes> value;
    std::shared_ptr<L2capChannel> channel;
};

// Records what either role's manager tells, in order.
class RadioRecorder final : public PeripheralManagerDelegate, public CentralManagerDelegate {
public:
    using Kind = RadioEvent::Kind;
    using Peripheral = std::shared_ptr<RemotePeripheral>;
    using Error = std::optional<RadioError>;

    std::vector<RadioEvent> events;

    [[nodiscard]] size_t count(Kind kind) const {
        return static_cast<size_t>(std::count_if(events.begin(), events.end(),
                                                 [kind](const auto& e) { return e.kind == kind; }));
    }
    // The latest event of the kind; a default one when there is none.
    [[nodiscard]] RadioEvent last(Kind kind) const {
        const auto found = std::find_if(events.rbegin(), events.rend(),
                                        [kind](const auto& e) { return e.kind == kind; });
        return found == events.rend() ? RadioEvent{} : *found;
    }

    void peripheralStateChanged(RadioState state) override { add(Kind::state).state = state; }
    void channelPublished(uint16_t psm, const Error& error) override {
        add(Kind::published, error).psm = psm;
    }
    void serviceAdded(const GattServiceSpec& service, const Error& error) override {
        add(Kind::serviceAdded, error).uuid = service.uuid;
    }
    void advertisingStarted(const Error& error) override { add(Kind::advertising, error); }
    void channelOpened(std::shared_ptr<L2capChannel> channel, const Error& error) override {
        add(Kind::hostChannel, error).channel = std::move(channel);
    }
    void channelUnpublished(uint16_t psm, const Error& error) override {
        add(Kind::unpublished, error).psm = psm;
    }
    void centralStateChanged(RadioState state) override { add(Kind::state).state = state; }
    void peripheralDiscovered(Peripheral p, const Advertisement& ad, int rssi) override {
        RadioEvent& event = add(Kind::discovered, {}, std::move(p));
        event.advertisement = ad;
        event.rssi = rssi;
    }
    void peripheralConnected(Peripheral p) override { add(Kind::connected, {}, std::move(p)); }
    void peripheralFailedToConnect(Peripheral p, const Error& error) override {
        add(Kind::failedToConnect, error, std::move(p));
    }
    void peripheralDisconnected(Peripheral p, const Error& error) override {
        add(Kind::disconnected, error, std::move(p));
    }
    void servicesDiscovered(Peripheral p, const Error& error) override {
        add(Kind::services, error, std::move(p));
    }
    void characteristicsDiscovered(Peripheral p, const std::string& service,
                                   const Error& error) override {
        add(Kind::characteristics, error, std::move(p)).uuid = service;
    }
    void valueUpdated(Peripheral p, const std::string& characteristic,
                      const std::optional<Bytes>& value, const Error& error) override {
        RadioEvent& event = add(Kind::value, error, std::move(p));
        event.uuid = characteristic;
        event.value = value;
    }
    void channelOpened(Peripheral p, std::shared_ptr<L2capChannel> channel,
                       const Error& error) override {
        add(Kind::channel, error, std::move(p)).channel = std::move(channel);
    }

private:
    RadioEvent& add(Kind kind, const Error& error = {}, Peripheral peripheral = {}) {
        RadioEvent& event = events.emplace_back();
        event.kind = kind;
        event.error = error;
        event.peripheral = std::move(peripheral);
        return event;
    }
};

inline const std::string service(SyncProtocol::serviceUuid);
inline const std::string psmUuid(SyncProtocol::psmCharacteristicUuid);
inline const std::string infoUuid(SyncProtocol::infoCharacteristicUuid);
inline const std::string otherUuid = "0000180D-0000-1000-8000-00805F9B34FB";

inline std::string lowerCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// The party service as the host offers it: the PSM, an info value longer than one ATT
// response, and a characteristic nobody asks for.
inline GattServiceSpec partyService(uint16_t psm) {
    Bytes info(600);
    for (size_t i = 0; i < info.size(); ++i) {
        info[i] = static_cast<uint8_t>('a' + i % 26);
    }
    return {service,
            true,
            {{psmUuid, {static_cast<uint8_t>(psm), static_cast<uint8_t>(psm >> 8)}},
             {infoUuid, info},
             {otherUuid, {1}}}};
}

template <typename Radios>
class RadioContract : public ::testing::Test {
protected:
    using Kind = RadioEvent::Kind;

    // Makes both managers and waits for their first state.
    void start() {
        hostManager = radios.makeHost(host);
        speakerManager = radios.makeSpeaker(speaker);
        EXPECT_TRUE(host->events.empty() && speaker->events.empty())
            << "events come later, never from inside the call";
        ASSERT_TRUE(radios.runUntil(
            [&] { return host->count(Kind::state) > 0 && speaker->count(Kind::state) > 0; }));
    }

    // Does `action` on the host or speaker side, then waits for the next event of the kind.
    RadioEvent next(RadioRecorder& recorder, Kind kind, const std::function<void()>& action) {
        const size_t before = recorder.count(kind);
        action();
        EXPECT_TRUE(radios.runUntil([&] { return recorder.count(kind) > before; }))
            << "no event of kind " << static_cast<int>(kind);
        return recorder.last(kind);
    }

    // The host published, serving the party service and advertising it as "Kitchen".
    uint16_t advertise() {
        const RadioEvent published =
            next(*host, Kind::published, [&] { hostManager->publishChannel(false); });
        EXPECT_FALSE(published.error) << published.error->description;
        EXPECT_TRUE(published.psm >= 0x80 && published.psm <= 0xFF) << published.psm;
        EXPECT_FALSE(next(*host, Kind::serviceAdded, [&] {
                         hostManager->addService(partyService(published.psm));
                     }).error);
        EXPECT_FALSE(next(*host, Kind::advertising, [&] {
                         hostManager->startAdvertising({{service}, "Kitchen"});
                     }).error);
        EXPECT_TRUE(hostManager->isAdvertising());
        return published.psm;
    }

    // Scans until the host is found, then connects to it.
    std::shared_ptr<RemotePeripheral> connect() {
        const RadioEvent found =
            next(*speaker, Kind::discovered, [&] { speakerManager->scan({service}, true); });
        speakerManager->stopScan();
        if (!found.peripheral) {
            return nullptr;
        }
        EXPECT_EQ(
            next(*speaker, Kind::connected, [&] { speakerManager->connect(found.peripheral); })
                .peripheral,
            found.peripheral);
        return found.peripheral;
    }

    Radios radios;
    std::shared_ptr<RadioRecorder> host = std::make_shared<RadioRecorder>();
    std::shared_ptr<RadioRecorder> speaker = std::make_shared<RadioRecorder>();
    std::unique_ptr<PeripheralManager> hostManager;
    std::unique_ptr<CentralManager> speakerManager;
};

TYPED_TEST_SUITE_P(RadioContract);

TYPED_TEST_P(RadioContract, AnUnusableRadioSaysSoAndAnswersEveryRequestWithAnError) {
    auto& unusable = this->radios;
    unusable.makeUnusable();
    this->hostManager = unusable.makeHost(this->host);
    this->speakerManager = unusable.makeSpeaker(this->speaker);
    auto& host = *this->host;
    auto& speaker = *this->speaker;
    using Kind = RadioEvent::Kind;
    ASSERT_TRUE(host.events.empty() && speaker.events.empty());
    this->hostManager->publishChannel(false);
    this->hostManager->addService(partyService(0x80));
    this->hostManager->startAdvertising({{service}, "Kitchen"});
    this->speakerManager->scan({service}, true);
    ASSERT_TRUE(unusable.runUntil(
        [&] { return host.count(Kind::advertising) > 0 && speaker.count(Kind::state) > 0; }));
    unusable.runFor(300);
    // One state, whenever it comes: the one the manager reports.
    EXPECT_EQ(host.count(Kind::state), 1U);
    EXPECT_EQ(speaker.count(Kind::state), 1U);
    EXPECT_NE(host.last(Kind::state).state, RadioState::poweredOn);
    EXPECT_EQ(host.last(Kind::state).state, this->hostManager->state());
    EXPECT_EQ(speaker.last(Kind::state).state, this->speakerManager->state());
    for (const Kind kind : {Kind::published, Kind::serviceAdded, Kind::advertising}) {
        EXPECT_EQ(host.count(kind), 1U);
        EXPECT_TRUE(host.last(kind).error) << static_cast<int>(kind);
    }
    EXPECT_EQ(host.last(Kind::published).psm, 0);
    EXPECT_FALSE(this->hostManager->isAdvertising());
    EXPECT_FALSE(this->speakerManager->isScanning());
    EXPECT_EQ(speaker.events.size(), 1U);
}

TYPED_TEST_P(RadioContract, ScansFindAdvertisersOfTheWantedServiceUntilTheyStop) {
    using Kind = RadioEvent::Kind;
    this->start();
    auto& speaker = *this->speaker;
    EXPECT_EQ(this->host->events[0].state, RadioState::poweredOn);
    EXPECT_EQ(speaker.events[0].state, RadioState::poweredOn);
    EXPECT_EQ(this->speakerManager->state(), RadioState::poweredOn);
    // Nothing more arrives once a scan has stopped (and what was on its way is in).
    const auto quiet = [&] {
        this->radios.runFor(300);
        const size_t seen = speaker.count(Kind::discovered);
        this->radios.runFor(600);
        return speaker.count(Kind::discovered) - seen;
    };

    // No name is no name, not an empty one.
    EXPECT_FALSE(this->next(*this->host, Kind::advertising,
                            [&] {
                                this->hostManager->startAdvertising({{service}, ""});
                            })
                     .error);
    const RadioEvent nameless =
        this->next(speaker, Kind::discovered, [&] { this->speakerManager->scan({service}, true); });
    EXPECT_EQ(nameless.advertisement, (Advertisement{std::nullopt, {service}}));
    this->speakerManager->stopScan();
    EXPECT_FALSE(this->speakerManager->isScanning());
    EXPECT_EQ(quiet(), 0U);

    // UUIDs match whatever their case; with duplicates the host is reported again and again.
    this->hostManager->startAdvertising({{service}, "Kitchen"});
    this->radios.runFor(300);
    speaker.events.clear();
    this->speakerManager->scan({lowerCase(service)}, true);
    EXPECT_TRUE(this->speakerManager->isScanning());
    ASSERT_TRUE(this->radios.runUntil([&] { return speaker.count(Kind::discovered) >= 3; }));
    const auto host = speaker.last(Kind::discovered).peripheral;
    for (const RadioEvent& event : speaker.events) {
        EXPECT_EQ(event.advertisement, (Advertisement{"Kitchen", {service}}));
        EXPECT_EQ(event.peripheral, host);
        EXPECT_TRUE(event.rssi == rssiUnavailable || (event.rssi < 0 && event.rssi > -128))
            << event.rssi;
    }
    EXPECT_EQ(canonicalUuid(host->identifier()), host->identifier());
    EXPECT_EQ(this->speakerManager->retrievePeripherals({"not-an-id", host->identifier()}),
              (std::vector{host}));

    // Without duplicates: once per scan. Another service: nothing.
    this->speakerManager->stopScan();
    EXPECT_EQ(quiet(), 0U);
    size_t seen = speaker.count(Kind::discovered);
    this->speakerManager->scan({service}, false);
    ASSERT_TRUE(this->radios.runUntil([&] { return speaker.count(Kind::discovered) > seen; }));
    EXPECT_EQ(quiet(), 0U);
    EXPECT_EQ(speaker.count(Kind::discovered), seen + 1);
    this->speakerManager->scan({otherUuid}, true);
    EXPECT_EQ(quiet(), 0U);

    // A host that stops advertising is no longer reported.
    seen = speaker.count(Kind::discovered);
    this->speakerManager->scan({service}, true);
    ASSERT_TRUE(this->radios.runUntil([&] { return speaker.count(Kind::discovered) > seen; }));
    this->hostManager->stopAdvertising();
    EXPECT_FALSE(this->hostManager->isAdvertising());
    EXPECT_EQ(quiet(), 0U);
}

TYPED_TEST_P(RadioContract, ASpeakerReadsTheServiceAndOpensChannelsBothSidesCanClose) {
    using Kind = RadioEvent::Kind;
    this->start();
    auto& hostEvents = *this->host;
    auto& speaker = *this->speaker;
    const uint16_t psm = this->advertise();
    const auto host = this->connect();
    ASSERT_TRUE(host);

    // Discovery with filters of either case; UUIDs come back upper-case.
    EXPECT_FALSE(
        this->next(speaker, Kind::services, [&] { host->discoverServices({lowerCase(service)}); })
            .error);
    EXPECT_EQ(host->services(), std::vector{service});
    const RadioEvent found = this->next(speaker, Kind::characteristics, [&] {
        host->discoverCharacteristics({psmUuid, lowerCase(infoUuid)}, service);
    });
    EXPECT_FALSE(found.error);
    auto characteristics = host->characteristics(lowerCase(service));
    std::sort(characteristics.begin(), characteristics.end());
    EXPECT_EQ(characteristics, (std::vector{psmUuid, infoUuid}));

    const auto read = [&](const std::string& uuid) {
        return this->next(speaker, Kind::value, [&] { host->readValue(service, uuid); });
    };
    const RadioEvent psmValue = read(psmUuid);
    EXPECT_TRUE(sameUuid(psmValue.uuid, psmUuid));
    EXPECT_EQ(psmValue.value, (Bytes{static_cast<uint8_t>(psm), static_cast<uint8_t>(psm >> 8)}));
    EXPECT_EQ(read(infoUuid).value, partyService(psm).characteristics[1].value) << "read whole";
    const RadioEvent unknown = read("0000AAAA-0000-1000-8000-00805F9B34FB");
    EXPECT_TRUE(unknown.error);
    EXPECT_FALSE(unknown.value);

    // A PSM nobody published fails; the published one opens a channel at both ends.
    const RadioEvent refused = this->next(speaker, Kind::channel, [&] {
        host->openL2capChannel(static_cast<uint16_t>(psm == 0xFF ? 0x80 : psm + 1));
    });
    EXPECT_TRUE(refused.error);
    EXPECT_FALSE(refused.channel);
    const auto bytes = [](std::string_view text) { return Bytes(text.begin(), text.end()); };
    for (const bool speakerCloses : {true, false}) {
        SCOPED_TRACE(speakerCloses ? "the speaker closes" : "the host closes");
        const RadioEvent opened =
            this->next(speaker, Kind::channel, [&] { host->openL2capChannel(psm); });
        ASSERT_TRUE(this->radios.runUntil([&] {
            return hostEvents.count(Kind::hostChannel) > 0 &&
                   hostEvents.last(Kind::hostChannel).channel;
        }));
        const RadioEvent accepted = hostEvents.last(Kind::hostChannel);
        hostEvents.events.clear();
        EXPECT_EQ(opened.peripheral, host);
        ASSERT_TRUE(opened.channel && !opened.error);
        EXPECT_EQ(opened.channel->peerId, host->identifier());
        EXPECT_EQ(accepted.channel->peerId, this->radios.speakerIdAtHost());
        const auto atSpeaker =
            test::StreamEndpoint::open(opened.channel->streams, this->radios.streams(false));
        const auto atHost =
            test::StreamEndpoint::open(accepted.channel->streams, this->radios.streams(true));
        atSpeaker->send(bytes("ping"));
        atHost->send(bytes("pong"));
        ASSERT_TRUE(this->radios.runUntil([&] {
            return atHost->seen().received == bytes("ping") &&
                   atSpeaker->seen().received == bytes("pong");
        }));
        (speakerCloses ? atSpeaker : atHost)->send({}, /*thenClose=*/true);
        const auto& other = speakerCloses ? atHost : atSpeaker;
        EXPECT_TRUE(this->radios.runUntil([&] { return other->seen().ended(); }));
    }

    // Withdrawn: once, not twice, and no channel opens on it any more.
    const RadioEvent unpublished = this->next(hostEvents, Kind::unpublished,
                                              [&] { this->hostManager->unpublishChannel(psm); });
    EXPECT_EQ(unpublished.psm, psm);
    EXPECT_FALSE(unpublished.error);
    EXPECT_TRUE(
        this->next(hostEvents, Kind::unpublished, [&] { this->hostManager->unpublishChannel(psm); })
            .error);
    EXPECT_TRUE(this->next(speaker, Kind::channel, [&] { host->openL2capChannel(psm); }).error);

    // Cancelled: nothing is reported for it, and the link no longer serves reads.
    this->speakerManager->cancelConnection(host);
    this->radios.runFor(300);
    EXPECT_EQ(speaker.count(Kind::disconnected) + speaker.count(Kind::failedToConnect), 0U);
    EXPECT_TRUE(read(psmUuid).error);
}

TYPED_TEST_P(RadioContract, PowerOffEndsWhatTheRadioWasDoingAndPowerOnStartsAfresh) {
    using Kind = RadioEvent::Kind;
    if constexpr (!TypeParam::canPowerCycle) {
        GTEST_SKIP() << "this radio cannot be switched off";
    } else {
        this->start();
        auto& hostEvents = *this->host;
        auto& speaker = *this->speaker;
        this->advertise();
        const auto host = this->connect();
        ASSERT_TRUE(host);
        this->speakerManager->scan({service}, true);

        this->radios.setPowered(true, false);
        ASSERT_TRUE(this->radios.runUntil([&] {
            return hostEvents.last(Kind::state).state == RadioState::poweredOff &&
                   speaker.count(Kind::disconnected) > 0;
        }));
        EXPECT_EQ(this->hostManager->state(), RadioState::poweredOff);
        EXPECT_FALSE(this->hostManager->isAdvertising());
        EXPECT_EQ(speaker.last(Kind::disconnected).peripheral, host);
        this->radios.setPowered(false, false);
        ASSERT_TRUE(this->radios.runUntil(
            [&] { return speaker.last(Kind::state).state == RadioState::poweredOff; }));
        EXPECT_FALSE(this->speakerManager->isScanning());

        this->radios.setPowered(true, true);
        this->radios.setPowered(false, true);
        ASSERT_TRUE(this->radios.runUntil([&] {
            return hostEvents.last(Kind::state).state == RadioState::poweredOn &&
                   speaker.last(Kind::state).state == RadioState::poweredOn;
        }));
        this->advertise();
        EXPECT_TRUE(this->connect());
    }
}

REGISTER_TYPED_TEST_SUITE_P(RadioContract, AnUnusableRadioSaysSoAndAnswersEveryRequestWithAnError,
                            ScansFindAdvertisersOfTheWantedServiceUntilTheyStop,
                            ASpeakerReadsTheServiceAndOpensChannelsBothSidesCanClose,
                            PowerOffEndsWhatTheRadioWasDoingAndPowerOnStartsAfresh);

} // namespace merriphonic::radio_test
