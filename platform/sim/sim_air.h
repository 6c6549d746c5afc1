#pragma once

#include <memory>

#include "platform/sim/sim_radio.h"
#include "platform/sim/sim_radio_model.h"

namespace merriphonic {

class SimAirCore;
class SimDevice;
class SimWorld;

// The virtual air shared by the devices of one SimWorld: advertisements every
// advertisingIntervalNs (plus the link layer's random delay) heard with a signal strength from
// a log-distance path loss and shadowing noise, GATT connections and reads paced by connection
// events, and L2CAP channels as SimLink pairs whose SDUs go out in connection events, limited
// per link and sharing each radio's airtime with all its other links. Random draws come from
// the world's generator, so a run is a function of the seed.
//
// The world must outlive the air; the air must outlive the devices' use of their radios.
// Managers and channels may outlive the air: they then do nothing.
class SimAir {
public:
    explicit SimAir(SimWorld& world, const SimRadioModel& model = {});
    ~SimAir();
    SimAir(const SimAir&) = delete;
    SimAir& operator=(const SimAir&) = delete;

    // Places a device on the air, powered on, and makes its context's radio this one.
    SimRadio& attach(SimDevice& device, SimPosition position = {});

    [[nodiscard]] const SimRadioModel& model() const;

private:
    std::shared_ptr<SimAirCore> core_;
};

} // namespace merriphonic
