import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// A warning about Bluetooth with a way to its settings.
Rectangle {
    id: banner
    property string message
    Layout.fillWidth: true
    visible: message !== ""
    implicitHeight: row.implicitHeight + 24
    radius: 14
    color: Qt.rgba(1, 0.7, 0, 0.12)
    border.color: Theme.warning
    border.width: 1

    RowLayout {
        id: row
        anchors.fill: parent
        anchors.margins: 12
        spacing: 10
        Icon { name: "warning"; size: 24 }
        Text {
            Layout.fillWidth: true
            text: banner.message
            color: Theme.text
            wrapMode: Text.WordWrap
        }
        SmallButton {
            text: "Open Settings"
            tint: Theme.warning
            onClicked: app.openSettings()
        }
    }
}
