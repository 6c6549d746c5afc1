pragma Singleton
import QtQuick

// Colours and sizes shared by every screen.
QtObject {
    readonly property color background: "#121218"
    readonly property color card: "#1E1E28"
    readonly property color accent: "#9575CD"
    readonly property color text: "#ECEFF1"
    readonly property color secondary: "#9EA3B0"
    readonly property color warning: "#FFB300"
    readonly property color danger: "#EF5350"
    readonly property color good: "#66BB6A"
    readonly property int gap: 12
    readonly property int margin: 16
}
