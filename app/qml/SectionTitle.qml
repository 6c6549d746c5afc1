import QtQuick
import QtQuick.Layouts

// A section heading.
Text {
    Layout.fillWidth: true
    color: Theme.text
    font.pixelSize: 17
    font.bold: true
    elide: Text.ElideRight
}
