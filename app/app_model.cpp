#include "app/app_model.h"

#include "platform/prefs.h"

namespace merriphonic {

AppModel::AppModel(DeviceContext& context, BluetoothAccess& access)
    : context_(context), access_(access),
      name_(Prefs::name(context.prefs).value_or(Prefs::computerName())),
      library_(LibraryStore::create(context)), host_(HostSession::create(context, library_)),
      speaker_(SpeakerSession::create(context)) {}

AppModel::~AppModel() = default;

void AppModel::setName(const std::string& name) {
    if (name == name_.get()) {
        return;
    }
    name_ = name;
    Prefs::setName(context_.prefs, name);
}

std::string AppModel::displayName() const {
    return Prefs::displayName(name_.get());
}

bool AppModel::bluetoothAllowed() {
    switch (access_.authorization()) {
    case BluetoothAuthorization::restricted:
        permissionMessage_ = std::optional<std::string>(restrictedMessage);
        return false;
    case BluetoothAuthorization::denied:
        permissionMessage_ = std::optional<std::string>(deniedMessage);
        return false;
    case BluetoothAuthorization::notDetermined:
    case BluetoothAuthorization::allowed:
        break;
    }
    if (permissionMessage_.get()) {
        permissionMessage_ = std::nullopt;
    }
    return true;
}

void AppModel::openSettings() {
    access_.openSettings();
}

void AppModel::hostParty(const std::optional<std::string>& partyName) {
    if (!bluetoothAllowed()) {
        return;
    }
    const std::string shown = displayName();
    Prefs::setName(context_.prefs, shown);
    context_.log.info(LogCategory::app, "hosting as {}", shown);
    host_->start(partyName.value_or(shown + "'s party"), true);
    screen_ = Screen::host;
}

void AppModel::joinAsSpeaker() {
    if (!bluetoothAllowed()) {
        return;
    }
    Prefs::setName(context_.prefs, displayName());
    speaker_->startScanning();
    screen_ = Screen::join;
}

void AppModel::chooseHost(const DiscoveredHost& host) {
    speaker_->join(host);
    screen_ = Screen::speaker;
}

void AppModel::leaveParty() {
    // leave() sends BYE "left" on an open connection, tears the session down and sets the
    // phase to idle.
    speaker_->leave();
}

void AppModel::backToScanner() {
    leaveParty();
    speaker_->startScanning();
    screen_ = Screen::join;
}

void AppModel::leaveSpeaker() {
    leaveParty();
    speaker_->stopScanning();
    screen_ = Screen::home;
}

void AppModel::endParty() {
    host_->endParty();
    screen_ = Screen::home;
}

} // namespace merriphonic
