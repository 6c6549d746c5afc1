#pragma once

#include <memory>
#include <optional>
#include <string>

#include "app/bluetooth_access.h"
#include "host/host_session.h"
#include "host/library_store.h"
#include "platform/device_context.h"
#include "platform/published.h"
#include "speaker/speaker_session.h"
#include "transport/discovered_host.h"

namespace merriphonic {

// The app's top level: the library and the two roles, made once and kept for the process, and
// which screen is shown. Hosting or joining starts and stops the sessions. Main loop only.
class AppModel {
public:
    enum class Screen { home, host, join, speaker };

    static constexpr const char* restrictedMessage =
        "Bluetooth is blocked on this computer (a hardware switch or the firmware settings).";
    static constexpr const char* deniedMessage =
        "Bluetooth access is off for Merriphonic. Turn it on in Settings to host or join a party.";

    // Makes the library, then the host session, then the speaker session.
    AppModel(DeviceContext& context, BluetoothAccess& access);
    ~AppModel();
    AppModel(const AppModel&) = delete;
    AppModel& operator=(const AppModel&) = delete;

    [[nodiscard]] const Published<Screen>& screen() const { return screen_; }
    [[nodiscard]] const Published<std::string>& name() const { return name_; }
    [[nodiscard]] const Published<std::optional<std::string>>& permissionMessage() const {
        return permissionMessage_;
    }
    [[nodiscard]] const std::shared_ptr<LibraryStore>& library() const { return library_; }
    [[nodiscard]] const std::shared_ptr<HostSession>& host() const { return host_; }
    [[nodiscard]] const std::shared_ptr<SpeakerSession>& speaker() const { return speaker_; }
    [[nodiscard]] const Log& log() const { return context_.log; }

    // The name as typed; every change is stored.
    void setName(const std::string& name);
    // The typed name trimmed, or the computer's name when that leaves nothing.
    [[nodiscard]] std::string displayName() const;

    // Reads the system's authorization and sets or clears the permission message.
    bool bluetoothAllowed();
    void openSettings();

    // ---- Screen actions ----
    // Hosts under the given party name, by default the display name + "'s party".
    void hostParty(const std::optional<std::string>& partyName = std::nullopt);
    void joinAsSpeaker();
    void chooseHost(const DiscoveredHost& host);
    void backToScanner();
    void leaveSpeaker();
    void endParty();

private:
    void leaveParty();

    DeviceContext& context_;
    BluetoothAccess& access_;
    Published<Screen> screen_{Screen::home};
    Published<std::string> name_;
    Published<std::optional<std::string>> permissionMessage_;
    std::shared_ptr<LibraryStore> library_;
    std::shared_ptr<HostSession> host_;
    std::shared_ptr<SpeakerSession> speaker_;
};

} // namespace merriphonic
