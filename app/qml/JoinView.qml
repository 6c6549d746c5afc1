import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// The parties nearby; choosing one joins it.
Item {
    id: join
    readonly property var speaker: app.speaker

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: Theme.margin
        spacing: Theme.gap

        SmallButton {
            text: "Back"
            iconName: "chevron-left"
            onClicked: app.leaveSpeaker()
        }
        SectionTitle { text: "Parties nearby"; font.pixelSize: 24 }
        BluetoothBanner { message: join.speaker.bannerText }

        ColumnLayout {
            visible: join.speaker.hosts.count === 0
            Layout.fillWidth: true
            Layout.topMargin: 32
            spacing: 10
            BusyIndicator { Layout.alignment: Qt.AlignHCenter; running: parent.visible }
            Text {
                text: "Looking for parties nearby…"
                color: Theme.text
                font.pixelSize: 16
                Layout.alignment: Qt.AlignHCenter
            }
            Text {
                Layout.fillWidth: true
                text: "Ask the host to open <b>Host a party</b> on their device and keep it close."
                textFormat: Text.StyledText
                color: Theme.secondary
                wrapMode: Text.WordWrap
                horizontalAlignment: Text.AlignHCenter
            }
        }

        ListView {
            Layout.fillWidth: true
            Layout.fillHeight: true
            spacing: 8
            clip: true
            model: join.speaker.hosts
            delegate: ItemDelegate {
                id: row
                required property int index
                required property string name
                required property int bars
                required property string signalLabel
                width: ListView.view.width
                height: 64
                background: Rectangle {
                    radius: 14
                    color: row.down ? Qt.lighter(Theme.card, 1.3) : Theme.card
                }
                contentItem: RowLayout {
                    spacing: 12
                    Icon { name: "house"; size: 28 }
                    ColumnLayout {
                        Layout.fillWidth: true
                        spacing: 2
                        Text {
                            Layout.fillWidth: true
                            text: row.name
                            color: Theme.text
                            font.pixelSize: 16
                            elide: Text.ElideRight
                        }
                        Text { text: "Click to join"; color: Theme.secondary; font.pixelSize: 12 }
                    }
                    SignalBars { bars: row.bars; label: row.signalLabel }
                }
                onClicked: app.chooseHost(index)
            }
        }
        Item { Layout.fillHeight: join.speaker.hosts.count === 0 }
    }
}
