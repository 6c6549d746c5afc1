import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Material

// The one window: the screen the model shows, over a background that fills it.
ApplicationWindow {
    id: window
    width: 480
    height: 820
    minimumWidth: 420
    minimumHeight: 640
    visible: true
    title: "Merriphonic"
    Material.theme: Material.Dark
    Material.accent: Theme.accent
    Material.primary: Theme.accent
    color: Theme.background

    Loader {
        anchors.fill: parent
        sourceComponent: {
            switch (app.screen) {
            case "host": return hostView
            case "join": return joinView
            case "speaker": return speakerView
            default: return homeView
            }
        }
    }

    Component { id: homeView; HomeView {} }
    Component { id: hostView; HostView {} }
    Component { id: joinView; JoinView {} }
    Component { id: speakerView; SpeakerView {} }
}
