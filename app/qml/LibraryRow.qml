import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// One song of the library: click to play it; right-click or hold for its menu.
ItemDelegate {
    id: row
    required property int index
    required property string title
    required property string artist
    required property string duration
    required property string status
    required property string error
    required property bool isCurrent
    required property bool selectable
    required property real progress
    signal chosen(int row)
    signal removed(int row)

    Layout.fillWidth: true
    implicitHeight: content.implicitHeight + 16
    background: Rectangle {
        radius: 12
        color: row.isCurrent ? Qt.rgba(0.58, 0.46, 0.8, 0.18)
                             : (row.hovered ? Qt.lighter(Theme.card, 1.15) : Theme.card)
    }
    contentItem: RowLayout {
        id: content
        spacing: 12
        Icon { name: row.isCurrent ? "speaker-wave" : "note"; size: 22 }
        ColumnLayout {
            Layout.fillWidth: true
            spacing: 2
            Text {
                Layout.fillWidth: true
                text: row.title
                color: Theme.text
                elide: Text.ElideRight
            }
            Text {
                Layout.fillWidth: true
                text: row.artist
                color: Theme.secondary
                font.pixelSize: 12
                elide: Text.ElideRight
            }
            Text {
                Layout.fillWidth: true
                visible: row.status === "failed"
                text: "Can't use this file" + (row.error !== "" ? " — " + row.error : "")
                color: Theme.danger
                font.pixelSize: 12
                wrapMode: Text.WordWrap
            }
            ProgressBar {
                Layout.fillWidth: true
                visible: row.status === "preparing" || row.status === "importing"
                indeterminate: row.progress < 0
                value: Math.max(0, row.progress)
            }
        }
        Text {
            visible: row.status === "ready"
            text: row.duration
            color: Theme.secondary
            font.family: "monospace"
        }
        ToolButton {
            visible: row.hovered && row.status !== "importing"
            icon.source: "icons/trash.svg"
            icon.color: "transparent"
            Accessible.name: "Remove from library"
            onClicked: row.removed(row.index)
        }
    }
    onClicked: if (row.selectable) row.chosen(row.index)
    onPressAndHold: menu.popup()

    TapHandler {
        acceptedButtons: Qt.RightButton
        onTapped: menu.popup()
    }
    Menu {
        id: menu
        MenuItem {
            text: "Remove from library"
            icon.source: "icons/trash.svg"
            icon.color: "transparent"
            enabled: row.status !== "importing"
            onTriggered: row.removed(row.index)
        }
    }
}
