import QtQuick 2.15
import QtQuick.Layouts 1.15

// After an application failed: which one, why, the last lines of its log, and
// the way on: start it again, or back to the tiles (Escape).
Item {
    id: view

    property QtObject theme
    // Backend.lastResult of the failed run.
    property var result: ({})
    property var logLines: []
    // Where the focus goes first: start again, or back when it cannot start.
    readonly property Item firstAction: refused ? backButton : restartButton

    signal restartRequested(string basename)
    signal backRequested()

    readonly property string applicationName: result.name ? result.name : (result.basename || "")
    // Never started: its settings are not valid.
    readonly property bool refused: (result.failedProcessIndex === undefined
                                     || result.failedProcessIndex < 0)
                                    && (result.problems || []).length > 0

    function detail() {
        if (result.failedProcessIndex === undefined || result.failedProcessIndex < 0)
            return ""
        var program = (result.failedProgram || "").split("/").pop()
        var who = qsTr("%1 (process-%2)").arg(program).arg(result.failedProcessIndex)
        // The backend's words say what the process did: one that was not
        // ready in time was then ended by the launcher, which is no cause.
        if (result.failedBecause)
            return qsTr("%1 %2").arg(who).arg(result.failedBecause)
        if (result.failedCrashed || result.failedExitSignal > 0)
            return qsTr("%1 was ended by signal %2").arg(who).arg(result.failedExitSignal)
        return qsTr("%1 exited with code %2").arg(who).arg(result.failedExitCode)
    }

    function sentence(text) {
        return text.charAt(0).toUpperCase() + text.slice(1) + (/[.!?]$/.test(text) ? "" : ".")
    }

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: theme.spacing * 2
        spacing: theme.spacing

        RowLayout {
            Layout.fillWidth: true
            spacing: theme.spacing
            Rectangle {
                Layout.preferredWidth: theme.unit * 2.6
                Layout.preferredHeight: Layout.preferredWidth
                radius: width / 2
                color: theme.danger
                Text {
                    anchors.centerIn: parent
                    text: "!"
                    color: theme.text
                    font.pixelSize: parent.height * 0.7
                    font.bold: true
                }
            }
            Text {
                objectName: "failureTitle"
                Layout.fillWidth: true
                text: (view.refused ? qsTr("%1 cannot start") : qsTr("%1 stopped working"))
                      .arg(view.applicationName)
                color: theme.text
                font.pixelSize: theme.titleFont
                font.bold: true
                elide: Text.ElideRight
            }
        }
        Text {
            objectName: "failureReason"
            Layout.fillWidth: true
            text: view.sentence(view.result.failureReason || qsTr("the application failed"))
            color: theme.text
            font.pixelSize: theme.fontSize
            wrapMode: Text.Wrap
        }
        Text {
            objectName: "failureDetail"
            Layout.fillWidth: true
            visible: text.length > 0
            text: view.detail()
            color: theme.muted
            font.pixelSize: theme.fontSize
            wrapMode: Text.Wrap
        }
        Text {
            objectName: "failureProblems"
            Layout.fillWidth: true
            visible: text.length > 0
            text: (view.result.problems || []).map(function(problem) {
                return "• " + problem
            }).join("\n")
            color: theme.warning
            font.pixelSize: theme.fontSize
            lineHeight: 1.2
            wrapMode: Text.Wrap
        }

        Text {
            Layout.topMargin: theme.spacing * 0.5
            visible: view.logLines.length > 0
            text: qsTr("The last lines of its log")
            color: theme.muted
            font.pixelSize: theme.smallFont
        }
        Rectangle {
            Layout.fillWidth: true
            Layout.preferredHeight: logText.implicitHeight + theme.spacing * 2
            Layout.maximumHeight: Math.max(theme.unit * 3, view.height * 0.55)
            radius: theme.radius
            color: "#0a0d11"
            border.color: theme.surfaceRaised
            border.width: 1
            clip: true
            visible: view.logLines.length > 0
            // A line each, cut at the right edge; the newest at the bottom.
            Column {
                id: logText
                objectName: "failureLog"
                readonly property string text: view.logLines.join("\n")
                anchors.left: parent.left
                anchors.right: parent.right
                anchors.bottom: parent.bottom
                anchors.margins: theme.spacing
                Repeater {
                    model: view.logLines
                    Text {
                        width: logText.width
                        text: modelData
                        color: "#c9d1d9"
                        font.family: theme.monospace
                        font.pixelSize: theme.smallFont
                        elide: Text.ElideRight
                    }
                }
            }
        }

        Item {
            Layout.fillHeight: true
        }
        RowLayout {
            Layout.alignment: Qt.AlignRight
            spacing: theme.spacing
            ActionButton {
                id: backButton
                objectName: "backButton"
                theme: view.theme
                tint: theme.surfaceRaised
                text: qsTr("Back to applications")
                KeyNavigation.right: restartButton
                onClicked: view.backRequested()
            }
            ActionButton {
                id: restartButton
                objectName: "restartButton"
                visible: !view.refused
                KeyNavigation.left: backButton
                theme: view.theme
                text: qsTr("Start again")
                onClicked: view.restartRequested(view.result.basename)
            }
        }
    }
}
