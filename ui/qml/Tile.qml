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

        // The texts take the room they need first; the icon gets what is
        // left, up to its own size.
        ColumnLayout {
            id: column
            anchors.fill: parent
            anchors.margins: theme.spacing
            spacing: theme.spacing * 0.6

            readonly property real textHeight: nameBox.height + (tile.valid ? 0 : cannotStart.height
                                                                 + reasonNeeded.height)
            readonly property real iconRoom: height - textHeight - spacing * 3
            readonly property real iconSize: Math.min(card.width * 0.55,
                                                      card.height * (tile.valid ? 0.5 : 0.25),
                                                      iconRoom)

            Item {
                Layout.fillHeight: true
                visible: tile.valid
            }

            AppIcon {
                objectName: "tileIcon"
                theme: tile.theme
                // Too small to tell apart, it leaves its room to the texts.
                visible: column.iconSize >= theme.unit * 1.5
                Layout.alignment: Qt.AlignHCenter
                Layout.preferredWidth: Math.max(0, column.iconSize)
                Layout.preferredHeight: Layout.preferredWidth
                source: tile.iconSource
                name: tile.title
                opacity: tile.valid ? 1 : 0.6
            }
            // Two lines (one on a greyed tile), then an ellipsis; the tile with
            // the focus shows the whole name. Its own height, not the
            // layout's: a height given from outside would cut it to one line.
            Item {
                id: nameBox
                Layout.fillWidth: true
                Layout.preferredHeight: nameText.height
                Text {
                    id: nameText
                    objectName: "tileName"
                    width: parent.width
                    text: tile.title
                    color: theme.text
                    font.pixelSize: theme.fontSize
                    font.bold: true
                    horizontalAlignment: Text.AlignHCenter
                    wrapMode: Text.Wrap
                    maximumLineCount: tile.current ? 1000 : tile.valid ? 2 : 1
                    elide: Text.ElideRight
                }
            }
            Text {
                id: cannotStart
                Layout.fillWidth: true
                visible: !tile.valid
                text: qsTr("Cannot start")
                color: theme.warning
                font.pixelSize: theme.smallFont
                font.bold: true
                horizontalAlignment: Text.AlignHCenter
                elide: Text.ElideRight
            }
            // The reason wraps over the rest of the card, and ends in an
            // ellipsis where it is longer (the cannot-start screen has all).
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
                // How tall all of it would be, for the icon to make room.
                Text {
                    id: reasonNeeded
                    visible: false
                    width: parent.width
                    text: parent.text
                    font: parent.font
                    wrapMode: Text.Wrap
                }
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
