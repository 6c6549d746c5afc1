import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// A volume control over 0…1 between a quiet and a loud speaker.
ColumnLayout {
    id: control
    property string title
    property real value: 1
    signal moved(real value)
    Layout.fillWidth: true
    spacing: 2

    Text { text: control.title; color: Theme.text; font.pixelSize: 14 }
    RowLayout {
        Layout.fillWidth: true
        Icon { name: "volume-low"; size: 18 }
        Slider {
            id: slider
            Layout.fillWidth: true
            from: 0
            to: 1
            value: control.value
            onMoved: control.moved(value)
        }
        Icon { name: "volume-high"; size: 22 }
    }
}
