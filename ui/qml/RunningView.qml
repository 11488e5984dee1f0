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
                            text: model.mode
                            color: theme.muted
                            font.pixelSize: theme.smallFont
                        }
                        Text {
                            objectName: "processState"
                            // Wraps rather than lose its end ("given up").
                            Layout.maximumWidth: processList.width * 0.45
                            text: (model.restarts > 0
                                   ? qsTr("%1, restarted %2×").arg(model.state).arg(model.restarts)
                                   : model.state)
                                  + (model.givenUp ? qsTr(", given up") : "")
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
