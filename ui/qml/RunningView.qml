import QtQuick 2.15
import QtQuick.Layouts 1.15

// What shows while an application runs, under its own window: its name, how
// far its pipeline is, and its processes. The stop control only where the
// settings let the user leave an application.
Item {
    id: view

    property QtObject theme
    property alias stopButton: stopButton
    // Whether the user may stop the application here; read before this view
    // shows, when the button's own visibility is still false.
    readonly property bool stoppable: backend.allowUserExit

    readonly property var phaseTexts: ({
        "starting": qsTr("Starting…"),
        "running": qsTr("Running"),
        "stopping": qsTr("Stopping…"),
        "finished": qsTr("Finished"),
        "idle": ""
    })
    // A process's state and mode, as the backend names them, in the screen's words.
    readonly property var stateTexts: ({
        "starting": qsTr("starting"),
        "waiting for readiness": qsTr("waiting until ready"),
        "running": qsTr("running"),
        "restarting": qsTr("restarting"),
        "stopping": qsTr("stopping"),
        "finished": qsTr("finished")
    })
    readonly property var modeTexts: ({
        "sync": qsTr("sync", "mode: the next process starts when this one has ended"),
        "async": qsTr("async", "mode: the next process starts as soon as this one runs"),
        "daemon": qsTr("daemon", "mode: runs in the background for as long as the application")
    })

    // What a process given up ended with: "given up after 3 crashes", "given
    // up after 2 crashes and 1 hang". English takes the form of each count
    // from its two texts, every other language its own forms of both.
    function givenUpText(after) {
        var ends = []
        if (after.crashes > 0)
            ends.push(after.crashes === 1 ? qsTr("%n crash", "", 1)
                                          : qsTr("%n crashes", "", after.crashes))
        if (after.hangs > 0)
            ends.push(after.hangs === 1 ? qsTr("%n hang", "", 1)
                                        : qsTr("%n hangs", "", after.hangs))
        if (after.memoryCapStops > 0)
            ends.push(after.memoryCapStops === 1
                      ? qsTr("%n stop over its memory cap", "", 1)
                      : qsTr("%n stops over its memory cap", "", after.memoryCapStops))
        if (after.failedStarts > 0)
            ends.push(after.failedStarts === 1 ? qsTr("%n failed start", "", 1)
                                               : qsTr("%n failed starts", "", after.failedStarts))
        if (ends.length === 0)
            return qsTr("given up")
        var all = ends[0]
        for (var i = 1; i < ends.length; ++i)
            all = (i === ends.length - 1 ? qsTr("%1 and %2") : qsTr("%1, %2")).arg(all).arg(ends[i])
        return qsTr("given up after %1").arg(all)
    }

    ColumnLayout {
        anchors.centerIn: parent
        // The width of the screen, for the processes' names and states.
        width: parent.width - theme.spacing * 4
        spacing: theme.spacing

        Text {
            objectName: "runningName"
            Layout.fillWidth: true
            text: backend.runningApplicationName.length > 0 ? backend.runningApplicationName
                                                             : backend.runningApplication
            color: theme.text
            font.pixelSize: theme.hugeFont
            font.bold: true
            horizontalAlignment: Text.AlignHCenter
            wrapMode: Text.Wrap
        }
        Text {
            objectName: "runningPhase"
            Layout.fillWidth: true
            text: view.phaseTexts[backend.pipelinePhase] || backend.pipelinePhase
            color: backend.pipelinePhase === "stopping" ? theme.warning : theme.muted
            font.pixelSize: theme.titleFont
            horizontalAlignment: Text.AlignHCenter
        }

        Rectangle {
            Layout.fillWidth: true
            Layout.topMargin: theme.spacing
            implicitHeight: processList.implicitHeight + theme.spacing * 2
            radius: theme.radius * 1.5
            color: theme.surface

            ColumnLayout {
                id: processList
                anchors.fill: parent
                anchors.margins: theme.spacing
                spacing: theme.spacing * 0.5

                Repeater {
                    model: backend.processes
                    delegate: RowLayout {
                        objectName: "process-" + model.processIndex
                        property string processState: model.state
                        property int processRestarts: model.restarts
                        Layout.fillWidth: true
                        spacing: theme.spacing

                        Rectangle {
                            Layout.preferredWidth: theme.unit * 0.8
                            Layout.preferredHeight: Layout.preferredWidth
                            radius: width / 2
                            color: model.state === "running" ? theme.success
                                 : model.state === "finished" ? theme.muted : theme.warning
                        }
                        Text {
                            objectName: "processName"
                            Layout.fillWidth: true
                            text: model.name
                            color: theme.text
                            font.pixelSize: theme.fontSize
                            font.family: theme.monospace
                            // Wraps rather than lose a part that tells it apart.
                            wrapMode: Text.WrapAtWordBoundaryOrAnywhere
                        }
                        Text {
                            text: view.modeTexts[model.mode] || model.mode
                            color: theme.muted
                            font.pixelSize: theme.smallFont
                        }
                        Text {
                            objectName: "processState"
                            // Wraps rather than lose its end ("given up").
                            Layout.maximumWidth: processList.width * 0.45
                            readonly property string stateText: view.stateTexts[model.state]
                                                                || model.state
                            text: model.givenUp
                                  ? view.givenUpText(model.givenUpAfter)
                                  : model.restarts > 0
                                    ? qsTr("%1, restarted %n×", "", model.restarts).arg(stateText)
                                    : stateText
                            color: model.givenUp ? theme.danger : theme.text
                            font.pixelSize: theme.smallFont
                            horizontalAlignment: Text.AlignRight
                            wrapMode: Text.Wrap
                        }
                    }
                }
            }
        }

        ActionButton {
            id: stopButton
            objectName: "stopButton"
            theme: view.theme
            Layout.alignment: Qt.AlignHCenter
            Layout.topMargin: theme.spacing
            visible: view.stoppable
            enabled: backend.pipelinePhase !== "stopping"
            tint: theme.danger
            text: qsTr("Stop")
            onClicked: backend.stopApplication()
        }
    }
}
