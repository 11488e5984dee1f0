import QtQuick 2.15

// An application's icon, or its initial on a coloured square when the icon
// is missing or does not load.
Item {
    id: icon

    property QtObject theme
    property url source
    property string name

    readonly property bool placeholder: image.status !== Image.Ready

    Image {
        id: image
        objectName: "iconImage"
        anchors.fill: parent
        source: icon.source
        // One decoding at a size that covers the largest tile.
        sourceSize.width: 256
        sourceSize.height: 256
        fillMode: Image.PreserveAspectFit
        asynchronous: false
        visible: !icon.placeholder
    }
    Rectangle {
        objectName: "iconPlaceholder"
        anchors.fill: parent
        visible: icon.placeholder
        radius: theme.radius
        color: theme.colorFor(icon.name)
        Text {
            anchors.centerIn: parent
            text: icon.name.length > 0 ? icon.name.charAt(0).toUpperCase() : "?"
            color: theme.textOn(parent.color)
            font.pixelSize: parent.height * 0.55
            font.bold: true
        }
    }
}
