import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Material
import QtQuick.Dialogs
import QtQuick.Layouts

// The party as its host runs it: speakers, now playing, volume and delay, the library.
Item {
    id: hostScreen
    readonly property var host: app.host
    property bool importing: false
    property var scrubMs: null
    property bool confirmEnd: false

    Flickable {
        anchors.fill: parent
        contentHeight: column.implicitHeight + 2 * Theme.margin
        clip: true
        ScrollBar.vertical: ScrollBar {}

        ColumnLayout {
            id: column
            x: Theme.margin
            y: Theme.margin
            width: hostScreen.width - 2 * Theme.margin
            spacing: Theme.gap

            // Header
            RowLayout {
                Layout.fillWidth: true
                ColumnLayout {
                    Layout.fillWidth: true
                    spacing: 4
                    Text {
                        Layout.fillWidth: true
                        text: hostScreen.host.partyName
                        color: Theme.text
                        font.pixelSize: 24
                        font.bold: true
                        elide: Text.ElideRight
                        maximumLineCount: 1
                    }
                    RowLayout {
                        spacing: 8
                        PulsingDot { active: hostScreen.host.headerActive }
                        Text { text: hostScreen.host.headerText; color: Theme.secondary }
                    }
                }
                SmallButton {
                    text: "End party"
                    tint: Theme.danger
                    onClicked: hostScreen.confirmEnd = true
                }
            }

            BluetoothBanner { message: hostScreen.host.bannerText }
            Text {
                Layout.fillWidth: true
                visible: text !== ""
                text: hostScreen.host.failureText
                color: Theme.danger
                wrapMode: Text.WordWrap
            }

            // Speakers
            SectionTitle { text: hostScreen.host.speakersTitle }
            Card {
                padding: 8
                Repeater {
                    model: hostScreen.host.speakers
                    delegate: RowLayout {
                        required property string name
                        required property string icon
                        required property string chip
                        required property string chipColor
                        required property string roundTrip
                        required property string delay
                        Layout.fillWidth: true
                        Layout.preferredHeight: 40
                        spacing: 10
                        Icon { name: parent.icon; size: 22 }
                        Text {
                            Layout.fillWidth: true
                            text: parent.name
                            color: Theme.text
                            elide: Text.ElideRight
                        }
                        Text {
                            visible: text !== ""
                            text: parent.delay
                            color: Theme.secondary
                            font.pixelSize: 12
                        }
                        Text {
                            visible: text !== ""
                            text: parent.roundTrip
                            color: Theme.secondary
                            font.pixelSize: 12
                            font.family: "monospace"
                        }
                        Chip { text: parent.chip; tint: parent.chipColor }
                    }
                }
            }

            // Now playing
            Card {
                RowLayout {
                    Layout.fillWidth: true
                    ColumnLayout {
                        Layout.fillWidth: true
                        spacing: 2
                        Text {
                            Layout.fillWidth: true
                            text: hostScreen.host.title
                            color: Theme.text
                            font.pixelSize: 18
                            font.bold: true
                            elide: Text.ElideRight
                        }
                        Text {
                            Layout.fillWidth: true
                            visible: hostScreen.host.hasSong
                            text: hostScreen.host.artist
                            color: Theme.secondary
                            elide: Text.ElideRight
                        }
                    }
                }
                Slider {
                    id: position
                    Layout.fillWidth: true
                    from: 0
                    to: Math.max(1, hostScreen.host.durationMs)
                    enabled: hostScreen.host.hasSong && !hostScreen.host.canStartNow
                    value: hostScreen.scrubMs !== null ? hostScreen.scrubMs : hostScreen.host.positionMs
                    onMoved: hostScreen.scrubMs = value
                    onPressedChanged: {
                        if (!pressed && hostScreen.scrubMs !== null) {
                            hostScreen.host.seek(Math.floor(hostScreen.scrubMs))
                            hostScreen.scrubMs = null
                        }
                    }
                }
                RowLayout {
                    Layout.fillWidth: true
                    Text {
                        text: app.time(hostScreen.scrubMs !== null ? hostScreen.scrubMs : hostScreen.host.positionMs)
                        color: Theme.secondary
                        font.family: "monospace"
                    }
                    Item { Layout.fillWidth: true }
                    Text {
                        text: app.time(hostScreen.host.durationMs)
                        color: Theme.secondary
                        font.family: "monospace"
                    }
                }
                RowLayout {
                    Layout.fillWidth: true
                    visible: hostScreen.host.sending
                    Text {
                        Layout.fillWidth: true
                        text: hostScreen.host.sendingText
                        color: Theme.text
                    }
                    SmallButton {
                        text: "Start now"
                        visible: hostScreen.host.canStartNow
                        onClicked: hostScreen.host.startNow()
                    }
                }
                RowLayout {
                    Layout.alignment: Qt.AlignHCenter
                    spacing: 24
                    RoundButton {
                        flat: true
                        implicitWidth: 64
                        implicitHeight: 64
                        icon.source: hostScreen.host.playing ? "icons/pause-circle.svg" : "icons/play-circle.svg"
                        icon.width: 48
                        icon.height: 48
                        icon.color: "transparent"
                        Accessible.name: hostScreen.host.playing ? "Pause" : "Play"
                        onClicked: hostScreen.host.togglePlayPause()
                    }
                    RoundButton {
                        flat: true
                        implicitWidth: 52
                        implicitHeight: 52
                        icon.source: "icons/forward-end.svg"
                        icon.width: 28
                        icon.height: 28
                        icon.color: "transparent"
                        Accessible.name: "Next"
                        onClicked: hostScreen.host.next()
                    }
                }
            }

            // Controls
            Card {
                VolumeSlider {
                    title: "Group volume"
                    value: hostScreen.host.groupVolume
                    onMoved: (v) => hostScreen.host.setGroupVolume(v)
                }
                DelaySlider {
                    title: "This device delay"
                    delayMs: hostScreen.host.delayMs
                    onMoved: (ms) => hostScreen.host.setDelayMs(ms)
                }
            }

            // Library
            RowLayout {
                Layout.fillWidth: true
                SectionTitle { text: "Library" }
                SmallButton {
                    text: "Add music"
                    iconName: "plus"
                    onClicked: {
                        hostScreen.importing = true
                        picker.open()
                    }
                }
            }
            Text {
                Layout.fillWidth: true
                visible: hostScreen.host.library.count === 0
                text: "No music yet. Click <b>Add music</b> to pick songs from your computer."
                textFormat: Text.StyledText
                color: Theme.secondary
                wrapMode: Text.WordWrap
            }
            Repeater {
                model: hostScreen.host.library
                delegate: LibraryRow {
                    onChosen: (row) => hostScreen.host.select(row)
                    onRemoved: (row) => hostScreen.host.remove(row)
                }
            }
        }
    }

    FileDialog {
        id: picker
        title: "Add music"
        fileMode: FileDialog.OpenFiles
        nameFilters: ["Audio files (*.mp3 *.m4a *.aac *.wav *.flac *.ogg *.oga *.opus *.aif *.aiff *.caf *.wma *.mp4)", "All files (*)"]
        onAccepted: {
            hostScreen.importing = false
            hostScreen.host.importFiles(selectedFiles)
        }
        onRejected: hostScreen.importing = false
    }

    Dialog {
        id: endDialog
        anchors.centerIn: parent
        modal: true
        visible: hostScreen.confirmEnd
        title: "End the party for everyone?"
        onClosed: hostScreen.confirmEnd = false
        footer: DialogButtonBox {
            Button {
                text: "Cancel"
                flat: true
                font.capitalization: Font.MixedCase
                DialogButtonBox.buttonRole: DialogButtonBox.RejectRole
            }
            Button {
                text: "End party"
                flat: true
                font.capitalization: Font.MixedCase
                Material.foreground: Theme.danger
                DialogButtonBox.buttonRole: DialogButtonBox.DestructiveRole
                onClicked: {
                    hostScreen.confirmEnd = false
                    app.endParty()
                }
            }
        }
    }
}
