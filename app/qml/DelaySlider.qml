import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// The extra output delay of this device: −200…500 ms, stored in steps of 10 ms.
ColumnLayout {
    id: control
    property string title
    property int delayMs: 0
    property bool showHint: false
    signal moved(real delayMs)
    Layout.fillWidth: true
    spacing: 2

    RowLayout {
        Layout.fillWidth: true
        Text { text: control.title; color: Theme.text; font.pixelSize: 14 }
        Item { Layout.fillWidth: true }
        Text {
            text: control.delayMs + " ms"
            color: Theme.secondary
            font.pixelSize: 14
            font.family: "monospace"
        }
        SmallButton { text: "Reset"; onClicked: control.moved(0) }
    }
    Slider {
        Layout.fillWidth: true
        from: -200
        to: 500
        value: control.delayMs
        onMoved: control.moved(app.roundedDelay(value))
    }
    Text {
        Layout.fillWidth: true
        visible: control.showHint
        bottomPadding: 8
        text: "Sounds late? (e.g. Bluetooth speaker) → move right. Sounds early → move left."
        color: Theme.secondary
        font.pixelSize: 12
        wrapMode: Text.WordWrap
    }
}
