#pragma once

// Apps in virtual time: each a simulated computer on one simulated air, with media, a sound
// card and its own AppModel, and a stand-in for the system's Bluetooth access. Shared by the
// model tests and the screen tests.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/app_model.h"
#include "app/bluetooth_access.h"
#include "core/time_units.h"
#include "platform/ffmpeg/ffmpeg_media_toolkit.h"
#include "platform/sim/sim_air.h"
#include "platform/sim/sim_audio_output.h"
#include "platform/sim/sim_device.h"
#include "platform/sim/sim_radio.h"
#include "platform/sim/sim_world.h"

namespace merriphonic::test {

class FakeBluetoothAccess final : public BluetoothAccess {
public:
    [[nodiscard]] BluetoothAuthorization authorization() const override { return answer; }
    void openSettings() override { ++settingsOpened; }

    BluetoothAuthorization answer = BluetoothAuthorization::allowed;
    int settingsOpened = 0;
};

struct AppDevice {
    AppDevice(SimWorld& world, SimAir& air, const std::string& name, SimPosition position)
        : device(world, name), cards(world, device.clock(), SimAudioCardConfig{}, name + ".card"),
          radio(&air.attach(device, position)) {
        device.context().media = &media;
        device.context().audio = &cards;
    }

    // The model is made on demand, so that a test can set up preferences first.
    AppModel& model() {
        if (!app) {
            app = std::make_unique<AppModel>(device.context(), access);
        }
        return *app;
    }

    SimDevice device;
    FfmpegMediaToolkit media;
    SimAudioOutputFactory cards;
    SimRadio* radio;
    FakeBluetoothAccess access;
    std::unique_ptr<AppModel> app;
};

class AppRig {
public:
    AppRig() : air_(world_) {}
    ~AppRig() {
        // Models go before their devices, devices before the air.
        for (auto& device : devices_) {
            device->app.reset();
        }
        world_.runFor(2 * nsPerSecond);
        devices_.clear();
    }
    AppRig(const AppRig&) = delete;
    AppRig& operator=(const AppRig&) = delete;

    // Devices stand a metre apart unless placed.
    AppDevice& add(const std::string& name, std::optional<SimPosition> position = std::nullopt) {
        const auto at = static_cast<double>(devices_.size());
        devices_.push_back(std::make_unique<AppDevice>(world_, air_, name,
                                                       position.value_or(SimPosition{at, at})));
        return *devices_.back();
    }
    [[nodiscard]] SimWorld& world() { return world_; }

    void runFor(int64_t ns) { world_.runFor(ns); }
    // Runs in 10 ms steps until done() holds or the timeout passes; returns done().
    bool runUntil(const std::function<bool()>& done, int64_t timeoutNs = 60 * nsPerSecond) {
        const int64_t end = world_.nowNs() + timeoutNs;
        while (!done() && world_.nowNs() < end) {
            world_.runFor(10 * nsPerMs);
        }
        return done();
    }

    // A generated song of that many seconds with a title and an artist, made once per run.
    static std::filesystem::path song(double seconds, const std::string& title,
                                      const std::string& artist);

private:
    SimWorld world_;
    SimAir air_;
    std::vector<std::unique_ptr<AppDevice>> devices_;
};

} // namespace merriphonic::test
