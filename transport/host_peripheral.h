#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/bytes.h"
#include "platform/device_context.h"
#include "platform/radio.h"

namespace merriphonic {

// The host's side of discovery: publishes an unencrypted L2CAP channel, serves a GATT service
// carrying the channel's PSM and a short description of the party, advertises that service
// under the party name, and hands every channel a speaker opens to its owner.
//
// Main loop only: start() and stop() are called there and the radio delivers its events there.
// Owned by a std::shared_ptr (the radio holds it weakly as its delegate).
class HostPeripheral final : public PeripheralManagerDelegate,
                             public std::enable_shared_from_this<HostPeripheral> {
    struct Private {};

public:
    // What the peripheral is doing, for the user interface.
    struct Phase {
        enum class Kind { idle, starting, advertising, failed };
        Kind kind = Kind::idle;
        std::string text; // the user-facing sentence of a failure; empty otherwise

        static Phase idle() { return {}; }
        static Phase starting() { return {Kind::starting, {}}; }
        static Phase advertising() { return {Kind::advertising, {}}; }
        static Phase failed(std::string text) { return {Kind::failed, std::move(text)}; }
        [[nodiscard]] bool is(Kind k) const { return kind == k; }
        bool operator==(const Phase&) const = default;
    };

    static std::shared_ptr<HostPeripheral> create(DeviceContext& context);
    HostPeripheral(Private, DeviceContext& context);
    ~HostPeripheral() override;
    HostPeripheral(const HostPeripheral&) = delete;
    HostPeripheral& operator=(const HostPeripheral&) = delete;

    // Set by the owner before start(); they should capture the owner weakly.
    std::function<void(RadioState)> onState;
    std::function<void(const Phase&)> onPhase;
    std::function<void(std::shared_ptr<L2capChannel>)> onChannel;

    // Begins (or resumes) hosting under this name. The radio's manager is made on the first
    // call and kept, so a later start with the radio on publishes at once.
    void start(std::string partyName);
    // Withdraws advertising, the service and the published channel. Opened channels stay open.
    void stop();

    [[nodiscard]] const Phase& phase() const { return phase_; }
    [[nodiscard]] const std::string& partyName() const { return partyName_; }
    [[nodiscard]] std::optional<uint16_t> psm() const { return psm_; }
    [[nodiscard]] bool wantRunning() const { return wantRunning_; }
    [[nodiscard]] PeripheralManager* manager() const { return manager_.get(); }

    // The GATT contract: the PSM as 2 bytes, least significant first; the info record
    // {"v":1,"name":...,"platform":...}, at most maxInfoBytes (the most an attribute value may
    // hold), its name shortened when too long; the primary service with the PSM characteristic
    // first.
    static constexpr size_t maxInfoBytes = 512;
    static Bytes psmValue(uint16_t psm);
    static Bytes infoValue(const std::string& partyName);
    static GattServiceSpec service(uint16_t psm, const std::string& partyName);

    // PeripheralManagerDelegate.
    void peripheralStateChanged(RadioState state) override;
    void channelPublished(uint16_t psm, const std::optional<RadioError>& error) override;
    void serviceAdded(const GattServiceSpec& service,
                      const std::optional<RadioError>& error) override;
    void advertisingStarted(const std::optional<RadioError>& error) override;
    void channelOpened(std::shared_ptr<L2capChannel> channel,
                       const std::optional<RadioError>& error) override;
    void channelUnpublished(uint16_t psm, const std::optional<RadioError>& error) override;

private:
    void publish();
    void addService();
    void setPhase(Phase phase);
    [[nodiscard]] bool poweredOn() const;

    DeviceContext& context_;
    std::unique_ptr<PeripheralManager> manager_;
    std::string partyName_;
    std::optional<uint16_t> psm_;
    bool wantRunning_ = false;
    // A publication asked for and not yet answered: a second one would leak a PSM.
    bool publishPending_ = false;
    Phase phase_;
};

} // namespace merriphonic
