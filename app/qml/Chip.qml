import QtQuick

// A small coloured label.
Rectangle {
    property alias text: label.text
    property alias font: label.font
    property color tint: Theme.accent
    implicitWidth: label.implicitWidth + 16
    implicitHeight: label.implicitHeight + 6
    radius: height / 2
    color: Qt.rgba(tint.r, tint.g, tint.b, 0.22)
    border.color: tint
    border.width: 1

    Text {
        id: label
        anchors.centerIn: parent
        color: parent.tint
        font.pixelSize: 12
        font.bold: true
    }
}
