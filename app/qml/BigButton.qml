import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Material
import QtQuick.Layouts

// A large button, filled or outlined in its colour, with an icon.
Button {
    id: button
    property bool filled: true
    property color tint: Theme.accent
    property string iconName
    Layout.fillWidth: true
    implicitHeight: 56
    font.pixelSize: 16
    font.bold: true
    font.capitalization: Font.MixedCase
    highlighted: filled
    flat: !filled
    Material.accent: tint
    Material.foreground: filled ? "white" : tint

    contentItem: Item {
        implicitWidth: row.implicitWidth
        implicitHeight: row.implicitHeight
        Row {
        id: row
        spacing: 10
        anchors.centerIn: parent
        Icon {
            name: button.iconName
            size: 24
            visible: button.iconName !== ""
            anchors.verticalCenter: parent.verticalCenter
        }
        Text {
            text: button.text
            font: button.font
            color: button.filled ? "white" : button.tint
            anchors.verticalCenter: parent.verticalCenter
        }
        }
    }
    background: Rectangle {
        radius: 14
        color: button.filled ? (button.down ? Qt.darker(button.tint, 1.2) : button.tint)
                             : (button.down ? Qt.rgba(button.tint.r, button.tint.g, button.tint.b, 0.15) : "transparent")
        border.color: button.tint
        border.width: button.filled ? 0 : 2
    }
}
