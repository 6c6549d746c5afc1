#include "app/system_bluetooth_access.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QStringList>

#include <fstream>
#include <system_error>

namespace merriphonic {

namespace {

constexpr int busTimeoutMs = 500;

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

BluetoothAuthorization SystemBluetoothAccess::authorization() const {
    if (hardBlocked(std::filesystem::path(rfkillFolder))) {
        return BluetoothAuthorization::restricted;
    }
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        return BluetoothAuthorization::notDetermined;
    }
    const QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.bluez"), QStringLiteral("/"),
        QStringLiteral("org.freedesktop.DBus.ObjectManager"), QStringLiteral("GetManagedObjects"));
    const QDBusMessage reply = bus.call(call, QDBus::Block, busTimeoutMs);
    if (reply.type() == QDBusMessage::ErrorMessage) {
        return fromBusError(reply.errorName().toStdString());
    }
    return BluetoothAuthorization::allowed;
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
