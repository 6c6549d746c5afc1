import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// This computer as a speaker of someone's party.
Item {
    id: speakerScreen
    readonly property var speaker: app.speaker
    readonly property string phase: speaker.phase

    Flickable {
        anchors.fill: parent
        contentHeight: column.implicitHeight + 2 * Theme.margin
        clip: true

        ColumnLayout {
            id: column
            x: Theme.margin
            y: Theme.margin
            width: speakerScreen.width - 2 * Theme.margin
            spacing: Theme.gap

            RowLayout {
                Layout.fillWidth: true
                Item { Layout.fillWidth: true }
                SmallButton { text: "Leave"; tint: Theme.danger; onClicked: app.leaveSpeaker() }
            }
            BluetoothBanner { message: speakerScreen.speaker.bannerText }

            // Connecting or syncing
            Card {
                visible: speakerScreen.phase === "connecting" || speakerScreen.phase === "syncing"
                RowLayout {
                    spacing: 14
                    BusyIndicator { running: parent.visible; implicitWidth: 40; implicitHeight: 40 }
                    ColumnLayout {
                        Layout.fillWidth: true
                        Text {
                            Layout.fillWidth: true
                            text: "Connecting to " + speakerScreen.speaker.partyName
                            color: Theme.text
                            font.pixelSize: 18
                            font.bold: true
                            wrapMode: Text.WordWrap
                        }
                        Text { text: speakerScreen.speaker.subtitle; color: Theme.secondary }
                    }
                }
            }

            // A problem
            Card {
                visible: speakerScreen.phase === "disconnected" || speakerScreen.phase === "failed"
                RowLayout {
                    spacing: 12
                    Icon { name: "warning"; size: 28 }
                    Text {
                        Layout.fillWidth: true
                        text: speakerScreen.speaker.phaseText
                        color: Theme.text
                        font.pixelSize: 16
                        wrapMode: Text.WordWrap
                    }
                }
                BigButton {
                    text: speakerScreen.phase === "failed" ? "Try again" : "Rejoin"
                    onClicked: speakerScreen.speaker.retry()
                }
                BigButton {
                    text: "Find another party"
                    iconName: "bolt-circle"
                    filled: false
                    onClicked: app.backToScanner()
                }
            }

            // Connected
            ColumnLayout {
                visible: speakerScreen.phase === "connected"
                Layout.fillWidth: true
                spacing: Theme.gap
                RowLayout {
                    Layout.fillWidth: true
                    Text {
                        Layout.fillWidth: true
                        text: "Connected to " + speakerScreen.speaker.partyName
                        color: Theme.text
                        font.pixelSize: 20
                        font.bold: true
                        wrapMode: Text.WordWrap
                    }
                    Chip {
                        visible: speakerScreen.speaker.hasSync
                        text: speakerScreen.speaker.syncText
                        tint: speakerScreen.speaker.syncWarns ? Theme.warning : Theme.good
                        font.family: "monospace"
                    }
                }
                Card {
                    Text { text: "Now playing"; color: Theme.secondary; font.pixelSize: 12 }
                    Text {
                        Layout.fillWidth: true
                        text: speakerScreen.speaker.title
                        color: Theme.text
                        font.pixelSize: 18
                        font.bold: true
                        elide: Text.ElideRight
                    }
                    Text {
                        Layout.fillWidth: true
                        visible: speakerScreen.speaker.hasSong
                        text: speakerScreen.speaker.artist
                        color: Theme.secondary
                        elide: Text.ElideRight
                    }
                    ProgressBar {
                        Layout.fillWidth: true
                        from: 0
                        to: Math.max(1, speakerScreen.speaker.durationMs)
                        value: speakerScreen.speaker.positionMs
                    }
                    RowLayout {
                        Layout.fillWidth: true
                        Text {
                            text: app.time(speakerScreen.speaker.positionMs)
                            color: Theme.secondary
                            font.family: "monospace"
                        }
                        Item { Layout.fillWidth: true }
                        Text {
                            text: app.time(speakerScreen.speaker.durationMs)
                            color: Theme.secondary
                            font.family: "monospace"
                        }
                    }
                    Text { text: speakerScreen.speaker.statusLine; color: Theme.text }
                }
                Card {
                    DelaySlider {
                        title: "Delay"
                        showHint: true
                        delayMs: speakerScreen.speaker.delayMs
                        onMoved: (ms) => speakerScreen.speaker.setDelayMs(ms)
                    }
                    VolumeSlider {
                        title: "Volume"
                        value: speakerScreen.speaker.localVolume
                        onMoved: (v) => speakerScreen.speaker.setLocalVolume(v)
                    }
                }
            }
        }
    }
}
