import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15

// After an application failed: which one, why, its log from the failure on, and
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

    // What keeps it from starting, as `launcher check` finds it in its file,
    // process by process (Backend.applicationProblems); the bare texts of
    // the result where the backend no longer knows the application.
    readonly property var problemList: {
        if (!refused)
            return []
        var found = backend.applicationProblems(result.basename || "")
        return found.length > 0 ? found : result.problems.map(function(text) {
            return {"process": "", "severity": "error", "text": text}
        })
    }
    // The log from the failure on, each line marked by whose it is
    // (Backend.failureLog); the plain lines given where it has none.
    readonly property var logEntries: {
        var marked = refused || result.outcome !== "failed" ? [] : backend.failureLog(40)
        return marked.length > 0 ? marked : logLines.map(function(text) {
            return {"text": text, "whose": ""}
        })
    }
    readonly property int firstStopped: {
        for (var i = 0; i < logEntries.length; ++i) {
            if (logEntries[i].whose === "stopped")
                return i
        }
        return -1
    }

    // The buttons take Left and Right; Up and Down scroll what is long.
    Keys.onUpPressed: scrollBy(-theme.unit * 3)
    Keys.onDownPressed: scrollBy(theme.unit * 3)
    function scrollBy(step) {
        var box = refused ? problemBox : logBox
        box.contentY = Math.max(0, Math.min(box.contentHeight - box.height, box.contentY + step))
    }

    readonly property string applicationName: result.name ? result.name : (result.basename || "")
    // Never started: its settings are not valid.
    readonly property bool refused: (result.failedProcessIndex === undefined
                                     || result.failedProcessIndex < 0)
                                    && (result.problems || []).length > 0

    function detail() {
        if (result.failedProcessIndex === undefined || result.failedProcessIndex < 0)
            return ""
        var name = result.failedName || (result.failedProgram || "").split("/").pop()
        var who = qsTr("%1 (process-%2)").arg(name).arg(result.failedProcessIndex)
        // The backend's words say what else the process did: one that was
        // not ready in time was then ended by the launcher, which is no cause.
        if (result.failedBecause && !result.failedByItsEnd)
            return qsTr("%1 %2").arg(who).arg(result.failedBecause)
        if (result.failedCrashed || result.failedExitSignal > 0)
            return qsTr("%1 was ended by signal %2").arg(who).arg(result.failedExitSignal)
        return qsTr("%1 exited with code %2").arg(who).arg(result.failedExitCode)
    }

    // Whether the problem at `index` is the first of its process.
    function opensProcess(index) {
        return index === 0 || problemList[index].process !== problemList[index - 1].process
    }
    function processHeading(problem) {
        return problem.process || qsTr("the application as a whole")
    }

    // Why the application failed (Backend.lastResult's failureCause).
    readonly property var causeTexts: ({
        "InvalidPipelineFailure": qsTr("the application's settings are not valid"),
        "RequiredProcessFailure": qsTr("a required process failed"),
        "RequiredProcessInvalidConfigFailure":
            qsTr("a required process reported that its configuration is not valid")
    })

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
                wrapMode: Text.Wrap
            }
        }
        Text {
            objectName: "failureReason"
            Layout.fillWidth: true
            text: view.sentence(view.causeTexts[view.result.failureCause]
                                || view.result.failureReason || qsTr("the application failed"))
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
        Flickable {
            id: problemBox
            Layout.fillWidth: true
            Layout.preferredHeight: Math.min(problemColumn.height, view.height * 0.5)
            visible: view.problemList.length > 0
            contentHeight: problemColumn.height
            clip: true
            boundsBehavior: Flickable.StopAtBounds
            // Shown whenever there is more than fits, so that a person sees it.
            ScrollBar.vertical: ScrollBar {
                policy: problemBox.contentHeight > problemBox.height + 1 ? ScrollBar.AlwaysOn
                                                                        : ScrollBar.AlwaysOff
            }
            Column {
                id: problemColumn
                objectName: "failureProblems"
                // Headings and problems as shown, a line each.
                readonly property string text: view.problemList.map(function(problem, i) {
                    var heading = view.opensProcess(i) ? view.processHeading(problem) + "\n" : ""
                    return heading + "• " + problem.severity + ": " + problem.text
                }).join("\n")
                width: problemBox.width - theme.spacing
                spacing: theme.spacing * 0.3
                Repeater {
                    model: view.problemList
                    Column {
                        width: problemColumn.width
                        Text {
                            visible: view.opensProcess(index)
                            topPadding: index > 0 ? theme.spacing * 0.5 : 0
                            text: view.processHeading(modelData)
                            color: theme.text
                            font.pixelSize: theme.fontSize
                            font.bold: true
                        }
                        Text {
                            width: parent.width
                            leftPadding: theme.spacing
                            text: "• " + (modelData.severity === "error" ? qsTr("error: %1")
                                                                          : qsTr("warning: %1"))
                                         .arg(modelData.text)
                            color: modelData.severity === "error" ? theme.danger : theme.warning
                            font.pixelSize: theme.fontSize
                            wrapMode: Text.Wrap
                        }
                    }
                }
            }
        }

        Text {
            Layout.topMargin: theme.spacing * 0.5
            visible: view.logEntries.length > 0
            text: qsTr("Its log from the failure on")
            color: theme.muted
            font.pixelSize: theme.smallFont
        }
        Rectangle {
            Layout.fillWidth: true
            Layout.preferredHeight: logText.height + theme.spacing * 2
            Layout.maximumHeight: Math.max(theme.unit * 3, view.height * 0.55)
            radius: theme.radius
            color: "#0a0d11"
            border.color: theme.surfaceRaised
            border.width: 1
            visible: view.logEntries.length > 0
            // Long lines wrap, so that every word shows; it opens at the
            // failure, and scrolls where there is more than fits.
            Flickable {
                id: logBox
                anchors.fill: parent
                anchors.margins: theme.spacing
                contentHeight: logText.height
                clip: true
                boundsBehavior: Flickable.StopAtBounds
                ScrollBar.vertical: ScrollBar {
                    policy: logBox.contentHeight > logBox.height + 1 ? ScrollBar.AlwaysOn
                                                                    : ScrollBar.AlwaysOff
                }
                Column {
                    id: logText
                    objectName: "failureLog"
                    readonly property string text: view.logEntries.map(function(entry) {
                        return entry.text
                    }).join("\n")
                    width: logBox.width - theme.spacing
                    Repeater {
                        model: view.logEntries
                        Column {
                            width: logText.width
                            // The launcher's own clean-up follows, not another fault.
                            Text {
                                visible: index === view.firstStopped
                                topPadding: index > 0 ? theme.spacing * 0.4 : 0
                                text: qsTr("then stopped by the launcher:")
                                color: theme.muted
                                font.pixelSize: theme.smallFont
                                font.italic: true
                            }
                            Text {
                                objectName: "logLine-" + (modelData.whose || "other")
                                width: parent.width
                                text: modelData.text
                                color: modelData.whose === "failed" ? theme.text
                                     : modelData.whose === "stopped" ? theme.muted : "#c9d1d9"
                                opacity: modelData.whose === "stopped" ? 0.6 : 1
                                font.bold: modelData.whose === "failed"
                                font.family: theme.monospace
                                font.pixelSize: theme.smallFont
                                wrapMode: Text.WrapAtWordBoundaryOrAnywhere
                            }
                        }
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
