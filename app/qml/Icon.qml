import QtQuick

// One of the app's own icons (icons/<name>.svg), square.
Image {
    property string name
    property int size: 24
    source: name === "" ? "" : "icons/" + name + ".svg"
    sourceSize: Qt.size(size, size)
    width: size
    height: size
    fillMode: Image.PreserveAspectFit
}
