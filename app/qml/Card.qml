import QtQuick
import QtQuick.Layouts

// A rounded panel around its content.
Rectangle {
    id: card
    property int padding: Theme.margin
    default property alias content: column.data
    Layout.fillWidth: true
    implicitHeight: column.implicitHeight + 2 * padding
    radius: 14
    color: Theme.card

    ColumnLayout {
        id: column
        anchors.fill: parent
        anchors.margins: card.padding
        spacing: 8
    }
}
