#pragma once

#include <QDBusConnection>
#include <QString>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "fake_bluez.h"
#include "platform/bluez/bluez_radio_factory.h"
#include "tests/platform/radio_contract.h"
#include "tests/support/qt_test_support.h"
#include "unix_l2cap_sockets.h"

namespace merriphonic::bluez_test {

using radio_test::RadioRecorder;

// A connection to the private bus this test run started (a dbus-daemon of its own).
QDBusConnection openBus(const QString& name);
void closeBus(const QString& name);

// Runs what is queued on the main loop now (posted tasks, D-Bus messages already received,
// deferred deletions), without waiting for anything new.
void drain();

// The BlueZ radios of the contract: a fake BlueZ with two powered adapters, hci0 for the
// speaker and hci1 for the host (unless made without adapters), Unix sockets for the channels,
// and each manager on a bus connection of its own with its channels' streams on the main loop.
class BluezRadios {
public:
    static constexpr bool canPowerCycle = true;
    static constexpr const char* hostAddress = "00:AA:01:00:00:00";
    static constexpr const char* speakerAddress = "00:AA:01:01:00:01";

    explicit BluezRadios(bool withAdapters = true);
    ~BluezRadios();
    BluezRadios(const BluezRadios&) = delete;
    BluezRadios& operator=(const BluezRadios&) = delete;

    void makeUnusable();
    // adapter "" picks the first powered one.
    std::unique_ptr<PeripheralManager> makeHost(const std::shared_ptr<RadioRecorder>& recorder,
                                                const std::string& adapter = "hci1");
    std::unique_ptr<CentralManager> makeSpeaker(const std::shared_ptr<RadioRecorder>& recorder,
                                                const std::string& adapter = "hci0");
    bool runUntil(const std::function<bool()>& done) { return test::runMainLoopUntil(done); }
    void runFor(int64_t ms) { test::runMainLoopFor(std::chrono::milliseconds(ms)); }
    void setPowered(bool host, bool on) { bluez->setPowered(host ? hci1 : hci0, on); }
    [[nodiscard]] std::string speakerIdAtHost() const;
    static RunLoop& streams(bool /*host*/) { return test::mainLoop(); }

    test::TempFolder folder;
    std::unique_ptr<FakeBluez> bluez = std::make_unique<FakeBluez>();
    std::shared_ptr<UnixL2capSockets> sockets = std::make_shared<UnixL2capSockets>(folder.path());
    QString hci0;
    QString hci1;

private:
    BluezRadioOptions options(const std::string& adapter);

    std::vector<std::unique_ptr<BluezRadioFactory>> factories_;
    std::vector<QString> connections_;
};

} // namespace merriphonic::bluez_test
