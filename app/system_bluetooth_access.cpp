#include "app/system_bluetooth_access.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusPendingCallWatcher>
#include <QObject>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QStringList>

#include <fstream>
#include <system_error>

namespace merriphonic {

namespace {

constexpr int busTimeoutMs = 5000;

std::string firstLine(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

} // namespace

bool SystemBluetoothAccess::hardBlocked(const std::filesystem::path& folder) {
    std::error_code error;
    int radios = 0;
    int blocked = 0;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end;
         it.increment(error)) {
        if (firstLine(it->path() / "type") != "bluetooth") {
            continue;
        }
        ++radios;
        blocked += firstLine(it->path() / "hard") == "1" ? 1 : 0;
    }
    return radios > 0 && blocked == radios;
}

BluetoothAuthorization SystemBluetoothAccess::fromBusError(std::string_view errorName) {
    return errorName == "org.freedesktop.DBus.Error.AccessDenied"
               ? BluetoothAuthorization::denied
               : BluetoothAuthorization::notDetermined;
}

// The last answer of BlueZ, and the question on its way.
struct SystemBluetoothAccess::Bus {
    QObject context; // ends the answer's connection with the access
    BluetoothAuthorization answer = BluetoothAuthorization::notDetermined;
    bool asking = false;
};

SystemBluetoothAccess::SystemBluetoothAccess() : bus_(std::make_unique<Bus>()) {
    refresh();
}

SystemBluetoothAccess::~SystemBluetoothAccess() = default;

void SystemBluetoothAccess::refresh() const {
    QDBusConnection bus = QDBusConnection::systemBus();
    if (bus_->asking || !bus.isConnected()) {
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.bluez"), QStringLiteral("/"),
        QStringLiteral("org.freedesktop.DBus.ObjectManager"), QStringLiteral("GetManagedObjects"));
    bus_->asking = true;
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, busTimeoutMs), &bus_->context);
    Bus* state = bus_.get();
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, &bus_->context,
                     [state](QDBusPendingCallWatcher* done) {
                         const QDBusMessage reply = done->reply();
                         state->answer = reply.type() == QDBusMessage::ErrorMessage
                                             ? fromBusError(reply.errorName().toStdString())
                                             : BluetoothAuthorization::allowed;
                         state->asking = false;
                         done->deleteLater();
                     });
}

BluetoothAuthorization SystemBluetoothAccess::authorization() const {
    refresh();
    if (hardBlocked(std::filesystem::path(rfkillFolder))) {
        return BluetoothAuthorization::restricted;
    }
    return bus_->answer;
}

const std::vector<SystemBluetoothAccess::SettingsCommand>&
SystemBluetoothAccess::settingsCommands() {
    static const std::vector<SettingsCommand> commands{
        {"gnome-control-center", {"bluetooth"}},
        {"systemsettings", {"kcm_bluetooth"}},
        {"blueman-manager", {}},
    };
    return commands;
}

void SystemBluetoothAccess::openSettings() {
    for (const SettingsCommand& command : settingsCommands()) {
        const QString program =
            QStandardPaths::findExecutable(QString::fromStdString(command.program));
        if (program.isEmpty()) {
            continue;
        }
        QStringList arguments;
        for (const std::string& argument : command.arguments) {
            arguments << QString::fromStdString(argument);
        }
        QProcess::startDetached(program, arguments);
        return;
    }
}

} // namespace merriphonic
