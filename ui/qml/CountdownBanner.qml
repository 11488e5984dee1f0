import QtQuick 2.15
import QtQuick.Layouts 1.15

// "Starting NAME in N s" over the tiles, with a control to cancel; Escape
// cancels too.
Rectangle {
    id: banner

    property QtObject theme
    property string applicationName
    property int seconds: -1

    signal cancelRequested()

    // The ring is the tallest part; a height of its own keeps the layout out of a loop.
    implicitHeight: ring.height + theme.spacing * 2
    radius: theme.radius * 1.5
    color: theme.surfaceRaised
    border.width: Math.max(2, theme.unit * 0.15)
    border.color: theme.accent

    RowLayout {
        id: row
        anchors.left: parent.left
        anchors.right: parent.right
        anchors.verticalCenter: parent.verticalCenter
        anchors.margins: theme.spacing
        spacing: theme.spacing * 1.5

        Rectangle {
            id: ring
            Layout.preferredWidth: theme.unit * 5
            Layout.preferredHeight: Layout.preferredWidth
            radius: width / 2
            color: "transparent"
            border.width: Math.max(3, theme.unit * 0.25)
            border.color: theme.accent
            Text {
                objectName: "countdownSeconds"
                anchors.centerIn: parent
                text: banner.seconds
                color: theme.text
                font.pixelSize: theme.titleFont * 1.2
                font.bold: true
            }
        }
        ColumnLayout {
            Layout.fillWidth: true
            spacing: theme.spacing * 0.3
            Text {
                objectName: "countdownText"
                Layout.fillWidth: true
                text: qsTr("Starting %1 in %n s", "", banner.seconds).arg(banner.applicationName)
                color: theme.text
                font.pixelSize: theme.titleFont
                elide: Text.ElideRight
            }
            Text {
                Layout.fillWidth: true
                text: qsTr("Choose another application, or cancel to stay here.")
                color: theme.muted
                font.pixelSize: theme.smallFont
                elide: Text.ElideRight
            }
        }
        ActionButton {
            objectName: "countdownCancel"
            theme: banner.theme
            text: qsTr("Cancel")
            focusPolicy: Qt.NoFocus
            onClicked: banner.cancelRequested()
        }
    }
}
