#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/bytes.h"
#include "platform/byte_stream.h"

namespace merriphonic {

class RunLoop;

// The Bluetooth seam: a peripheral manager for the host role and a central manager for the
// speaker role, shaped after the operations the two roles use. Implementations: BlueZ (real
// radios), a same-machine radio (processes on one computer) and a simulated air.
//
// Threading and delivery: managers are created for a device's main loop; every operation is
// called on it and every event is delivered on it, asynchronously (never from inside the call
// that caused it). Events go to a delegate held weakly; after the delegate is gone they are
// dropped. UUIDs are texts in canonical form (upper-case hex, 8-4-4-4-12); implementations
// compare them case-insensitively and report them upper-case.

// Manager states, numbered as the roles log and report them.
enum class RadioState : int {
    unknown = 0,
    resetting = 1,
    unsupported = 2,
    unauthorized = 3,
    poweredOff = 4,
    poweredOn = 5,
};

// "resetting", "unsupported", "unauthorized", "off", "on", and "unknown" for anything else.
std::string_view radioStateName(RadioState state);

// A failed radio operation; the description is shown to users after a fixed prefix.
struct RadioError {
    std::string description;
    bool operator==(const RadioError&) const = default;
};

// An opened L2CAP connection-oriented channel: who opened it (a stable identifier of the peer
// as this device sees it) and its two byte streams, ready for a framed connection. The streams
// deliver their events on the device's stream loop.
struct L2capChannel {
    std::string peerId;
    StreamPair streams;
};

// ---- Peripheral role (host) ----

// A read-only characteristic whose value the radio serves by itself.
struct GattCharacteristicSpec {
    std::string uuid;
    Bytes value;
    bool operator==(const GattCharacteristicSpec&) const = default;
};

struct GattServiceSpec {
    std::string uuid;
    bool primary = true;
    std::vector<GattCharacteristicSpec> characteristics;
    bool operator==(const GattServiceSpec&) const = default;
};

struct AdvertisingData {
    std::vector<std::string> serviceUuids;
    std::string localName;
    bool operator==(const AdvertisingData&) const = default;
};

class PeripheralManagerDelegate {
public:
    virtual ~PeripheralManagerDelegate() = default;
    // Also delivered once soon after the manager is created, with its initial state.
    virtual void peripheralStateChanged(RadioState state) = 0;
    virtual void channelPublished(uint16_t psm, const std::optional<RadioError>& error) = 0;
    virtual void serviceAdded(const GattServiceSpec& service,
                              const std::optional<RadioError>& error) = 0;
    virtual void advertisingStarted(const std::optional<RadioError>& error) = 0;
    // A central opened a channel to a published PSM (or failed to).
    virtual void channelOpened(std::shared_ptr<L2capChannel> channel,
                               const std::optional<RadioError>& error) = 0;
    virtual void channelUnpublished(uint16_t psm, const std::optional<RadioError>& error) = 0;
};

class PeripheralManager {
public:
    virtual ~PeripheralManager() = default;
    [[nodiscard]] virtual RadioState state() const = 0;
    // Publishes an L2CAP channel on a PSM the radio picks; answered by channelPublished.
    virtual void publishChannel(bool encrypted) = 0;
    // Withdraws a published PSM; answered by channelUnpublished.
    virtual void unpublishChannel(uint16_t psm) = 0;
    virtual void removeAllServices() = 0;
    // Answered by serviceAdded.
    virtual void addService(const GattServiceSpec& service) = 0;
    // Answered by advertisingStarted.
    virtual void startAdvertising(const AdvertisingData& data) = 0;
    virtual void stopAdvertising() = 0;
    [[nodiscard]] virtual bool isAdvertising() const = 0;
};

// ---- Central role (speaker) ----

// A remote device seen by a scan. Identified by a UUID stable for this device pair.
class RemotePeripheral {
public:
    virtual ~RemotePeripheral() = default;
    [[nodiscard]] virtual std::string identifier() const = 0;
    // Answered by CentralManagerDelegate::servicesDiscovered.
    virtual void discoverServices(const std::vector<std::string>& serviceUuids) = 0;
    // The services found by the last discovery (UUIDs).
    [[nodiscard]] virtual std::vector<std::string> services() const = 0;
    // Answered by characteristicsDiscovered.
    virtual void discoverCharacteristics(const std::vector<std::string>& characteristicUuids,
                                         const std::string& serviceUuid) = 0;
    // The characteristics of a service found by the last discovery (UUIDs).
    [[nodiscard]] virtual std::vector<std::string>
    characteristics(const std::string& serviceUuid) const = 0;
    // Reads a characteristic's whole value; answered by valueUpdated.
    virtual void readValue(const std::string& serviceUuid,
                           const std::string& characteristicUuid) = 0;
    // Opens an L2CAP channel to the PSM; answered by channelOpened.
    virtual void openL2capChannel(uint16_t psm) = 0;
};

struct Advertisement {
    // The advertised local name; absent when the advertisement carries none (or not as text).
    std::optional<std::string> localName;
    std::vector<std::string> serviceUuids;
    bool operator==(const Advertisement&) const = default;
};

// Signal strength reported when the radio cannot measure it.
inline constexpr int rssiUnavailable = 127;

class CentralManagerDelegate {
public:
    virtual ~CentralManagerDelegate() = default;
    // Also delivered once soon after the manager is created, with its initial state.
    virtual void centralStateChanged(RadioState state) = 0;
    virtual void peripheralDiscovered(std::shared_ptr<RemotePeripheral> peripheral,
                                      const Advertisement& advertisement, int rssi) = 0;
    virtual void peripheralConnected(std::shared_ptr<RemotePeripheral> peripheral) = 0;
    virtual void peripheralFailedToConnect(std::shared_ptr<RemotePeripheral> peripheral,
                                           const std::optional<RadioError>& error) = 0;
    virtual void peripheralDisconnected(std::shared_ptr<RemotePeripheral> peripheral,
                                        const std::optional<RadioError>& error) = 0;
    virtual void servicesDiscovered(std::shared_ptr<RemotePeripheral> peripheral,
                                    const std::optional<RadioError>& error) = 0;
    virtual void characteristicsDiscovered(std::shared_ptr<RemotePeripheral> peripheral,
                                           const std::string& serviceUuid,
                                           const std::optional<RadioError>& error) = 0;
    // value is absent when the read failed or returned nothing.
    virtual void valueUpdated(std::shared_ptr<RemotePeripheral> peripheral,
                              const std::string& characteristicUuid,
                              const std::optional<Bytes>& value,
                              const std::optional<RadioError>& error) = 0;
    virtual void channelOpened(std::shared_ptr<RemotePeripheral> peripheral,
                               std::shared_ptr<L2capChannel> channel,
                               const std::optional<RadioError>& error) = 0;
};

class CentralManager {
public:
    virtual ~CentralManager() = default;
    [[nodiscard]] virtual RadioState state() const = 0;
    // Reports every advertisement of a peripheral offering one of the services; with
    // allowDuplicates, every advertisement received, not only the first.
    virtual void scan(const std::vector<std::string>& serviceUuids, bool allowDuplicates) = 0;
    virtual void stopScan() = 0;
    [[nodiscard]] virtual bool isScanning() const = 0;
    // Peripherals this manager knows by identifier (seen before), in the order asked.
    virtual std::vector<std::shared_ptr<RemotePeripheral>>
    retrievePeripherals(const std::vector<std::string>& identifiers) = 0;
    // Answered by peripheralConnected or peripheralFailedToConnect; a connection is not
    // abandoned by time alone.
    virtual void connect(std::shared_ptr<RemotePeripheral> peripheral) = 0;
    // Abandons a pending connection or drops an established one (no event for either).
    virtual void cancelConnection(std::shared_ptr<RemotePeripheral> peripheral) = 0;
};

// Makes one device's radio managers; DeviceContext carries one.
class RadioFactory {
public:
    virtual ~RadioFactory() = default;
    virtual std::unique_ptr<PeripheralManager>
    makePeripheralManager(RunLoop& main, std::weak_ptr<PeripheralManagerDelegate> delegate) = 0;
    virtual std::unique_ptr<CentralManager>
    makeCentralManager(RunLoop& main, std::weak_ptr<CentralManagerDelegate> delegate) = 0;
};

} // namespace merriphonic
