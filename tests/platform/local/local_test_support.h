#pragma once

#include <sys/types.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/qt/real_device.h"
#include "platform/radio.h"
#include "tests/support/qt_test_support.h"

namespace merriphonic::test {

// A device for connections in the test process, with its files under `root`.
std::unique_ptr<RealDevice> makeDevice(const std::filesystem::path& root);

// A host running in a process of its own (the helper program), with its files in `root` and
// this process's environment (its XDG_RUNTIME_DIR included). Collects what the helper prints,
// line by line. A process still running when this object goes is killed by its pid.
class HostProcess {
public:
    HostProcess(const std::filesystem::path& root, const std::string& name);
    ~HostProcess();
    HostProcess(const HostProcess&) = delete;
    HostProcess& operator=(const HostProcess&) = delete;

    [[nodiscard]] const std::vector<std::string>& lines() const { return lines_; }
    // Runs the main loop until a line starting with prefix arrives; returns the rest of it.
    std::optional<std::string> waitForLine(std::string_view prefix);
    // SIGKILL, then reaps the process.
    void kill();
    // Closes the host's stdin (it quits) and returns its wait status.
    int quit();

private:
    void readOutput();
    int reap();

    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
    std::string pending_;
    std::vector<std::string> lines_;
    bool outputEnded_ = false;
};

// Everything a central manager reports, in order.
struct CentralEvent {
    enum class Kind {
        discovered,
        connected,
        failedToConnect,
        disconnected,
        servicesDiscovered,
        characteristicsDiscovered,
        valueUpdated,
        channelOpened
    };
    Kind kind = Kind::discovered;
    std::string peripheralId;
    std::optional<RadioError> error;
    Advertisement advertisement;
    int rssi = 0;
    std::optional<Bytes> value;
    std::shared_ptr<L2capChannel> channel;
};

class RecordingCentral final : public CentralManagerDelegate {
public:
    using Kind = CentralEvent::Kind;
    using Peripheral = std::shared_ptr<RemotePeripheral>;
    using Error = std::optional<RadioError>;

    void centralStateChanged(RadioState state) override { states.push_back(state); }
    void peripheralDiscovered(Peripheral peripheral, const Advertisement& advertisement,
                              int rssi) override {
        CentralEvent& event = add(Kind::discovered, peripheral, {});
        event.advertisement = advertisement;
        event.rssi = rssi;
    }
    void peripheralConnected(Peripheral peripheral) override {
        add(Kind::connected, peripheral, {});
    }
    void peripheralFailedToConnect(Peripheral peripheral, const Error& error) override {
        add(Kind::failedToConnect, peripheral, error);
    }
    void peripheralDisconnected(Peripheral peripheral, const Error& error) override {
        add(Kind::disconnected, peripheral, error);
    }
    void servicesDiscovered(Peripheral peripheral, const Error& error) override {
        add(Kind::servicesDiscovered, peripheral, error);
    }
    void characteristicsDiscovered(Peripheral peripheral, const std::string& /*serviceUuid*/,
                                   const Error& error) override {
        add(Kind::characteristicsDiscovered, peripheral, error);
    }
    void valueUpdated(Peripheral peripheral, const std::string& /*characteristicUuid*/,
                      const std::optional<Bytes>& value, const Error& error) override {
        add(Kind::valueUpdated, peripheral, error).value = value;
    }
    void channelOpened(Peripheral peripheral, std::shared_ptr<L2capChannel> channel,
                       const Error& error) override {
        add(Kind::channelOpened, peripheral, error).channel = std::move(channel);
    }

    [[nodiscard]] size_t count(Kind kind, std::string_view id = {}) const {
        return static_cast<size_t>(std::count_if(events.begin(), events.end(), [&](const auto& e) {
            return e.kind == kind && (id.empty() || e.peripheralId == id);
        }));
    }
    // Runs the main loop until an event of the kind (for the peripheral, if given) arrives
    // after the first `after` events; returns it.
    std::optional<CentralEvent> waitFor(Kind kind, std::string_view id = {}, size_t after = 0) {
        std::optional<CentralEvent> found;
        runMainLoopUntil([&] {
            for (; after < events.size() && !found; ++after) {
                if (events[after].kind == kind &&
                    (id.empty() || events[after].peripheralId == id)) {
                    found = events[after];
                }
            }
            return found.has_value();
        });
        return found;
    }
    // Does `action`, then waits for the next event of the kind for the peripheral.
    std::optional<CentralEvent> after(const std::function<void()>& action, Kind kind,
                                      std::string_view id) {
        const size_t mark = events.size();
        action();
        return waitFor(kind, id, mark);
    }

    std::vector<RadioState> states;
    std::vector<CentralEvent> events;
    std::map<std::string, Peripheral> peripherals;

private:
    CentralEvent& add(Kind kind, const Peripheral& peripheral, const Error& error) {
        peripherals[peripheral->identifier()] = peripheral;
        CentralEvent& event = events.emplace_back();
        event.kind = kind;
        event.peripheralId = peripheral->identifier();
        event.error = error;
        return event;
    }
};

class RecordingPeripheral final : public PeripheralManagerDelegate {
public:
    using Error = std::optional<RadioError>;

    void peripheralStateChanged(RadioState state) override { states.push_back(state); }
    void channelPublished(uint16_t psm, const Error& error) override {
        published.emplace_back(psm, error);
    }
    void serviceAdded(const GattServiceSpec&, const Error& error) override {
        servicesAdded.push_back(error);
    }
    void advertisingStarted(const Error& error) override { advertising.push_back(error); }
    void channelOpened(std::shared_ptr<L2capChannel> channel, const Error& error) override {
        channels.emplace_back(std::move(channel), error);
    }
    void channelUnpublished(uint16_t psm, const Error& error) override {
        unpublished.emplace_back(psm, error);
    }

    std::vector<RadioState> states;
    std::vector<std::pair<uint16_t, Error>> published;
    std::vector<Error> servicesAdded;
    std::vector<Error> advertising;
    std::vector<std::pair<std::shared_ptr<L2capChannel>, Error>> channels;
    std::vector<std::pair<uint16_t, Error>> unpublished;
};

} // namespace merriphonic::test
