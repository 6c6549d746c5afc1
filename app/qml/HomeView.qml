import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Material
import QtQuick.Layouts

// Start here: the name, and host or join.
Flickable {
    id: home
    contentHeight: column.implicitHeight + 2 * Theme.margin
    clip: true

    ColumnLayout {
        id: column
        x: Theme.margin
        y: Theme.margin
        width: home.width - 2 * Theme.margin
        spacing: Theme.gap

        Item { Layout.preferredHeight: 24 }
        Icon {
            name: "speakers"
            size: 88
            Layout.alignment: Qt.AlignHCenter
        }
        Text {
            text: "Merriphonic"
            color: Theme.text
            font.pixelSize: 34
            font.bold: true
            Layout.alignment: Qt.AlignHCenter
        }
        Text {
            text: "Play one song on every device — no Wi-Fi."
            color: Theme.secondary
            font.pixelSize: 15
            Layout.alignment: Qt.AlignHCenter
        }
        Item { Layout.preferredHeight: 12 }
        BluetoothBanner { message: app.permissionMessage }
        Text {
            text: "Your name"
            color: Theme.secondary
            font.pixelSize: 12
        }
        TextField {
            id: nameField
            Accessible.name: "Your name"
            Layout.fillWidth: true
            placeholderText: "Your name"
            text: app.name
            onTextEdited: app.name = text
        }
        Item { Layout.preferredHeight: 4 }
        BigButton {
            text: "Host a party"
            iconName: "house"
            onClicked: app.hostParty()
        }
        BigButton {
            text: "Join as speaker"
            iconName: "speaker"
            filled: false
            onClicked: app.joinAsSpeaker()
        }
        Text {
            Layout.fillWidth: true
            Layout.topMargin: 8
            text: "Hosts send songs over Bluetooth to up to 7 speakers — iPhone, Mac or Android."
            color: Theme.secondary
            font.pixelSize: 12
            wrapMode: Text.WordWrap
            horizontalAlignment: Text.AlignHCenter
        }
    }
}
