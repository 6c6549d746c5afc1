#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/qt/qt_run_loop.h"
#include "platform/qt/real_device.h"
#include "platform/radio.h"

class QSocketNotifier;

namespace merriphonic::local_test {

// The main loop of the test process (the thread of the QCoreApplication).
QtRunLoop& mainLoop();

// Runs the main event loop until done() holds. The guard only turns a hang into a failure.
bool runMainLoopUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds guard = std::chrono::seconds(30));

// A fresh folder under /tmp (short, so that socket paths fit), removed with its contents.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    [[nodiscard]] const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Sets (or, with nothing, unsets) XDG_RUNTIME_DIR for its lifetime.
class ScopedRuntimeDir {
public:
    explicit ScopedRuntimeDir(const std::optional<std::string>& value);
    ~ScopedRuntimeDir();
    ScopedRuntimeDir(const ScopedRuntimeDir&) = delete;
    ScopedRuntimeDir& operator=(const ScopedRuntimeDir&) = delete;

private:
    std::optional<std::string> previous_;
};

// A device for connections in the test process, with its files under `root`.
std::unique_ptr<RealDevice> makeDevice(const std::filesystem::path& root);
// Waits until every task queued on the stream loop so far has run: after the last connection
// of a device is released here, a stream task may still hold it (and its device).
void drainStreams();

// A host running in a process of its own (the helper program), with its own XDG folders below
// `root` and the given runtime folder. Reports what the helper prints, line by line. A process
// still running when this object goes is killed by its pid.
class HostProcess {
public:
    HostProcess(const std::filesystem::path& runtimeDir, const std::filesystem::path& root,
                const std::string& name);
    ~HostProcess();
    HostProcess(const HostProcess&) = delete;
    HostProcess& operator=(const HostProcess&) = delete;

    [[nodiscard]] pid_t pid() const { return pid_; }
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
    std::unique_ptr<QSocketNotifier> notifier_;
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
    Advertisement advertisement;
    int rssi = 0;
    std::string uuid; // the characteristic read, or the service whose characteristics came
    std::optional<Bytes> value;
    std::shared_ptr<L2capChannel> channel;
    std::optional<RadioError> error;
};

class RecordingCentral final : public CentralManagerDelegate {
public:
    using Kind = CentralEvent::Kind;
    using Peripheral = std::shared_ptr<RemotePeripheral>;
    using Error = std::optional<RadioError>;

    void centralStateChanged(RadioState state) override { states.push_back(state); }
    void peripheralDiscovered(Peripheral peripheral, const Advertisement& advertisement,
                              int rssi) override {
        add(Kind::discovered, peripheral, {}, [&](CentralEvent& event) {
            event.advertisement = advertisement;
            event.rssi = rssi;
        });
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
    void characteristicsDiscovered(Peripheral peripheral, const std::string& serviceUuid,
                                   const Error& error) override {
        add(Kind::characteristicsDiscovered, peripheral, error,
            [&](CentralEvent& event) { event.uuid = serviceUuid; });
    }
    void valueUpdated(Peripheral peripheral, const std::string& characteristicUuid,
                      const std::optional<Bytes>& value, const Error& error) override {
        add(Kind::valueUpdated, peripheral, error, [&](CentralEvent& event) {
            event.uuid = characteristicUuid;
            event.value = value;
        });
    }
    void channelOpened(Peripheral peripheral, std::shared_ptr<L2capChannel> channel,
                       const Error& error) override {
        add(Kind::channelOpened, peripheral, error,
            [&](CentralEvent& event) { event.channel = channel; });
    }

    [[nodiscard]] size_t count(Kind kind, std::string_view id = {}) const;
    // Runs the main loop until an event of the kind (for the peripheral, if given) arrives
    // after the first `after` events; returns it.
    std::optional<CentralEvent> waitFor(Kind kind, std::string_view id = {}, size_t after = 0);

    std::vector<RadioState> states;
    std::vector<CentralEvent> events;
    std::map<std::string, Peripheral> peripherals;

private:
    void add(Kind kind, const Peripheral& peripheral, const Error& error,
             const std::function<void(CentralEvent&)>& fill = {});
};

class RecordingPeripheral final : public PeripheralManagerDelegate {
public:
    void peripheralStateChanged(RadioState state) override { states.push_back(state); }
    void channelPublished(uint16_t psm, const std::optional<RadioError>& error) override {
        published.emplace_back(psm, error);
    }
    void serviceAdded(const GattServiceSpec&, const std::optional<RadioError>& error) override {
        servicesAdded.push_back(error);
    }
    void advertisingStarted(const std::optional<RadioError>& error) override {
        advertising.push_back(error);
    }
    void channelOpened(std::shared_ptr<L2capChannel> channel,
                       const std::optional<RadioError>& error) override {
        channels.emplace_back(std::move(channel), error);
    }
    void channelUnpublished(uint16_t psm, const std::optional<RadioError>& error) override {
        unpublished.emplace_back(psm, error);
    }

    std::vector<RadioState> states;
    std::vector<std::pair<uint16_t, std::optional<RadioError>>> published;
    std::vector<std::optional<RadioError>> servicesAdded;
    std::vector<std::optional<RadioError>> advertising;
    std::vector<std::pair<std::shared_ptr<L2capChannel>, std::optional<RadioError>>> channels;
    std::vector<std::pair<uint16_t, std::optional<RadioError>>> unpublished;
};

} // namespace merriphonic::local_test
