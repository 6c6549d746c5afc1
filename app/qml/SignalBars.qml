import QtQuick

// Four signal bars, `bars` of them lit.
Row {
    id: signal
    property int bars: 0
    property string label: ""
    spacing: 2
    Accessible.role: Accessible.Indicator
    Accessible.name: label

    Repeater {
        model: 4
        Rectangle {
            required property int index
            width: 4
            height: 5 + 4 * index
            anchors.bottom: parent.bottom
            radius: 1
            color: index < signal.bars ? Theme.text : Qt.rgba(1, 1, 1, 0.18)
        }
    }
}
