#include "bluez_radios.h"

#include <QCoreApplication>
#include <QProcess>

#include <atomic>

#include "platform/bluez/peer_identifier.h"

// Qt, QtDBus, glib and libdbus are not built for ThreadSanitizer: the hand-overs inside them
// (QtDBus's own thread passes every message through them) look like races. Only accesses made
// by instrumented code, ours, are checked.
// NOLINTNEXTLINE(bugprone-reserved-identifier,readability-identifier-naming)
extern "C" const char* __tsan_default_options() {
    return "ignore_noninstrumented_modules=1";
}

namespace merriphonic::bluez_test {

namespace {

// A session bus of this test run, stopped at its end.
class PrivateBus final : public ::testing::Environment {
public:
    void SetUp() override {
        daemon = std::make_unique<QProcess>();
        daemon->setStandardErrorFile(QProcess::nullDevice());
        daemon->start("dbus-daemon", {"--session", "--print-address", "--nofork"});
        while (!daemon->canReadLine() && daemon->waitForReadyRead()) {
        }
        address = QString::fromUtf8(daemon->readLine()).trimmed();
        ASSERT_FALSE(address.isEmpty()) << "dbus-daemon could not be started";
    }
    void TearDown() override {
        daemon->terminate();
        daemon->waitForFinished();
        daemon.reset();
    }

    std::unique_ptr<QProcess> daemon;
    QString address;
};

PrivateBus* const privateBus =
    static_cast<PrivateBus*>(::testing::AddGlobalTestEnvironment(new PrivateBus));

} // namespace

QDBusConnection openBus(const QString& name) {
    return QDBusConnection::connectToBus(privateBus->address, name);
}

void closeBus(const QString& name) {
    QDBusConnection::disconnectFromBus(name);
}

void drain() {
    for (int round = 0; round < 5; ++round) {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
}

BluezRadios::BluezRadios(bool withAdapters) {
    if (withAdapters) {
        hci0 = bluez->addAdapter(QStringLiteral("hci0"), speakerAddress, true);
        hci1 = bluez->addAdapter(QStringLiteral("hci1"), hostAddress, true);
    }
}

BluezRadios::~BluezRadios() {
    factories_.clear();
    bluez.reset();
    drain();
    for (const QString& name : connections_) {
        closeBus(name);
    }
}

void BluezRadios::makeUnusable() {
    setPowered(true, false);
    setPowered(false, false);
}

BluezRadioOptions BluezRadios::options(const std::string& adapter) {
    static std::atomic<int> counter{0};
    connections_.push_back(QStringLiteral("client-%1").arg(counter.fetch_add(1)));
    BluezRadioOptions options;
    options.bus = openBus(connections_.back());
    options.adapter = adapter;
    options.sockets = sockets;
    // Channel streams on the main loop too: the stream thread is the byte streams' own concern.
    options.streams = &test::mainLoop();
    return options;
}

std::unique_ptr<PeripheralManager>
BluezRadios::makeHost(const std::shared_ptr<RadioRecorder>& recorder, const std::string& adapter) {
    factories_.push_back(std::make_unique<BluezRadioFactory>(options(adapter)));
    return factories_.back()->makePeripheralManager(test::mainLoop(), recorder);
}

std::unique_ptr<CentralManager>
BluezRadios::makeSpeaker(const std::shared_ptr<RadioRecorder>& recorder,
                         const std::string& adapter) {
    factories_.push_back(std::make_unique<BluezRadioFactory>(options(adapter)));
    return factories_.back()->makeCentralManager(test::mainLoop(), recorder);
}

std::string BluezRadios::speakerIdAtHost() const {
    return peerIdentifier(hostAddress, speakerAddress);
}

} // namespace merriphonic::bluez_test
