import QtQuick

// A status dot that pulses while active.
Item {
    id: dot
    property color tint: Theme.good
    property bool active: false
    property real pulse: 0
    implicitWidth: 12
    implicitHeight: 12

    Rectangle {
        anchors.centerIn: parent
        width: dot.width * (1 + dot.pulse)
        height: width
        radius: width / 2
        color: dot.tint
        opacity: 0.4 * (1 - dot.pulse)
        visible: dot.active
    }
    Rectangle {
        anchors.fill: parent
        radius: width / 2
        color: dot.active ? dot.tint : Theme.secondary
    }
    NumberAnimation on pulse {
        running: dot.active
        from: 0
        to: 1
        duration: 1200
        loops: Animation.Infinite
    }
}
