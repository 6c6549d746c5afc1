import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Material

// A small button in its colour.
Button {
    id: button
    property color tint: Theme.accent
    property string iconName
    flat: true
    font.capitalization: Font.MixedCase
    font.pixelSize: 13
    implicitHeight: 34
    padding: 8
    topInset: 0
    bottomInset: 0
    Material.foreground: tint

    contentItem: Row {
        spacing: 6
        Icon {
            name: button.iconName
            size: 16
            visible: button.iconName !== ""
            anchors.verticalCenter: parent.verticalCenter
        }
        Text {
            text: button.text
            font: button.font
            color: button.tint
            anchors.verticalCenter: parent.verticalCenter
        }
    }
    background: Rectangle {
        radius: 8
        color: Qt.rgba(button.tint.r, button.tint.g, button.tint.b, button.down ? 0.3 : 0.15)
    }
}
