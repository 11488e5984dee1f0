import QtQuick 2.15
import QtQuick.Controls 2.15

// A large button for touch and keyboard alike: Space, Enter and Return press it.
Button {
    id: control

    property QtObject theme
    property color tint: theme.accent

    font.pixelSize: theme.fontSize
    leftPadding: theme.unit * 1.5
    rightPadding: theme.unit * 1.5
    topPadding: theme.unit * 0.7
    bottomPadding: theme.unit * 0.7

    contentItem: Text {
        text: control.text
        font: control.font
        color: theme.textOn(control.tint)
        horizontalAlignment: Text.AlignHCenter
        verticalAlignment: Text.AlignVCenter
        elide: Text.ElideRight
    }
    background: Rectangle {
        implicitWidth: theme.unit * 7
        implicitHeight: theme.unit * 2.6
        radius: theme.radius
        color: control.down ? Qt.darker(control.tint, 1.4) : control.tint
        Rectangle {
            objectName: "focusRing"
            anchors.fill: parent
            visible: control.activeFocus
            radius: parent.radius
            color: "transparent"
            border.width: theme.focusRingWidth
            border.color: theme.text
        }
    }

    Keys.onReturnPressed: clicked()
    Keys.onEnterPressed: clicked()
}
