import QtQuick 2.15
import QtQuick.Layouts 1.15

// One application: its icon and name. An invalid one is greyed and lists why
// it cannot start.
Item {
    id: tile

    property QtObject theme
    property string basename
    property string name
    property url iconSource
    property bool valid: true
    property var problems: []
    property bool current: false

    signal activated()

    readonly property string title: name.length > 0 ? name : basename

    Rectangle {
        id: card
        anchors.fill: parent
        anchors.margins: theme.spacing / 2
        radius: theme.radius * 1.5
        color: tile.current ? theme.surfaceRaised : theme.surface
        opacity: tile.valid ? 1 : 0.55

        ColumnLayout {
            anchors.fill: parent
            anchors.margins: theme.spacing
            spacing: theme.spacing * 0.6

            Item {
                Layout.fillHeight: true
                visible: tile.valid
            }

            AppIcon {
                objectName: "tileIcon"
                theme: tile.theme
                Layout.alignment: Qt.AlignHCenter
                Layout.preferredWidth: Math.min(card.width * 0.55, card.height * (tile.valid ? 0.5 : 0.25))
                Layout.preferredHeight: Layout.preferredWidth
                source: tile.iconSource
                name: tile.title
                opacity: tile.valid ? 1 : 0.6
            }
            Text {
                objectName: "tileName"
                Layout.fillWidth: true
                text: tile.title
                color: theme.text
                font.pixelSize: theme.fontSize
                font.bold: true
                horizontalAlignment: Text.AlignHCenter
                wrapMode: Text.Wrap
                maximumLineCount: tile.valid ? 2 : 1
                elide: Text.ElideRight
            }
            Text {
                Layout.fillWidth: true
                visible: !tile.valid
                text: qsTr("Cannot start")
                color: theme.warning
                font.pixelSize: theme.smallFont
                font.bold: true
                horizontalAlignment: Text.AlignHCenter
                elide: Text.ElideRight
            }
            Text {
                objectName: "tileProblems"
                Layout.fillWidth: true
                Layout.fillHeight: true
                visible: !tile.valid
                text: tile.problems.join("\n")
                color: theme.warning
                font.pixelSize: theme.smallFont
                horizontalAlignment: Text.AlignHCenter
                wrapMode: Text.Wrap
                elide: Text.ElideRight
            }
            Item {
                Layout.fillHeight: true
                visible: tile.valid
            }
        }
    }

    // Apart from the card, so that a greyed tile's ring is as clear as any.
    Rectangle {
        objectName: "focusRing"
        anchors.fill: card
        visible: tile.current
        radius: card.radius
        color: "transparent"
        border.width: theme.focusRingWidth
        border.color: theme.accent
    }

    MouseArea {
        anchors.fill: parent
        onClicked: tile.activated()
    }
}
