#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/radio.h"
#include "platform/sim/sim_radio_model.h"

namespace merriphonic {

class SimAirCore;
class SimLink;

// One simulated device's Bluetooth radio on a SimAir: the factory of its managers, plus the
// faults a test can cause. Made by SimAir::attach and owned by the air.
//
// Manager operations take effect when called and are answered later on the device's main loop;
// a power change voids every answer still on its way.
class SimRadio final : public RadioFactory {
public:
    SimRadio(SimAirCore& air, int index) : air_(air), index_(index) {}
    SimRadio(const SimRadio&) = delete;
    SimRadio& operator=(const SimRadio&) = delete;

    [[nodiscard]] const std::string& name() const;
    [[nodiscard]] int index() const { return index_; }
    [[nodiscard]] SimPosition position() const;
    // Moving changes the signal of later advertisements; established links are kept.
    void setPosition(SimPosition position);

    [[nodiscard]] RadioState state() const;
    // Every manager of the device hears the new state. Leaving poweredOn ends advertising,
    // services, published PSMs and scans; this device's channels fail at once, its peers see
    // them end and their connections drop one connection interval later (the power-off is
    // announced); its own central hears a disconnect for each connection.
    void setState(RadioState state);

    // While set, connections (as a peripheral) or channel opens to this device fail with the
    // text; nullopt accepts them again.
    void refuseConnections(std::optional<std::string> errorText);
    void refuseChannels(std::optional<std::string> errorText);

    // The radio link to every peer (or to one) is lost: nothing more gets through; after the
    // supervision timeout the channels fail and the centrals hear the disconnect.
    void loseLinks();
    void loseLinkWith(const SimRadio& other);

    // The identifier under which an observer knows this device (stable for the pair).
    [[nodiscard]] std::string identifierSeenBy(const SimRadio& observer) const;
    // The channels this device took part in, in the order opened.
    [[nodiscard]] std::vector<std::shared_ptr<SimLink>> channels() const;

    std::unique_ptr<PeripheralManager>
    makePeripheralManager(RunLoop& main,
                          std::weak_ptr<PeripheralManagerDelegate> delegate) override;
    std::unique_ptr<CentralManager>
    makeCentralManager(RunLoop& main, std::weak_ptr<CentralManagerDelegate> delegate) override;

private:
    SimAirCore& air_;
    int index_;
};

} // namespace merriphonic
