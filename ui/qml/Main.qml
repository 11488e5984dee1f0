import QtQuick 2.15
import QtQuick.Layouts 1.15

// The kiosk screen. It shows one of three views: the tiles (with the
// autostart countdown over them), the application that runs, or the failure
// of the last one until the user moves on. A requested stop or a normal end
// leads back to the tiles.
Rectangle {
    id: root
    objectName: "root"

    // The failed run that the failure view shows; empty when there is none.
    property var failure: ({})
    property var failureLog: []

    readonly property bool running: backend.runningApplication.length > 0
                                    || ["starting", "running", "stopping"].indexOf(
                                           backend.pipelinePhase) >= 0
    readonly property string view: running ? "running"
                                           : failure.outcome === "failed" ? "failure" : "tiles"

    color: appTheme.background
    focus: true

    Theme {
        id: appTheme
        width: root.width
        height: root.height
        brand: launcher.brand
    }

    // The owner's picture behind every view, kept at the window's size.
    Image {
        objectName: "backgroundImage"
        anchors.fill: parent
        visible: source != ""
        source: launcher.brand.backgroundImage
        fillMode: Image.PreserveAspectCrop
        sourceSize: Qt.size(root.width, root.height)
    }

    function startApplication(basename) {
        failure = {}
        backend.startApplication(basename)
    }

    function showTiles() {
        failure = {}
    }

    function nameOf(basename) {
        if (backend.applications.count === 0)
            return basename
        var row = backend.applications.indexOf(basename)
        var name = row >= 0 ? backend.applications.get(row).name : ""
        return name ? name : basename
    }

    Connections {
        target: backend
        function onLastResultChanged() {
            var result = backend.lastResult
            if (result.outcome === "failed") {
                root.failureLog = backend.logTail(12)
                root.failure = result
            } else {
                root.failure = {}
            }
        }
    }

    // The focus goes where the view's first action is. Back on the tiles, the
    // files are read again: an application added or edited meanwhile shows as
    // it is now.
    property string shownView: "tiles"
    onViewChanged: {
        var from = shownView
        shownView = view
        if (view === "tiles") {
            if (from !== "tiles")
                backend.reloadApplications()
            tileGrid.forceActiveFocus()
        } else if (view === "failure")
            failureView.firstAction.forceActiveFocus()
        else if (runningView.stoppable)
            runningView.stopButton.forceActiveFocus()
        else
            root.forceActiveFocus()
    }
    Component.onCompleted: tileGrid.forceActiveFocus()
    // The failure view learns what it shows after the view has changed: its
    // first action can change then (a hidden one would keep the focus).
    Connections {
        target: failureView
        function onFirstActionChanged() {
            if (root.view === "failure")
                failureView.firstAction.forceActiveFocus()
        }
    }

    // Escape goes back one step.
    function goBack() {
        if (backend.autostartActive)
            backend.cancelAutostart()
        else if (view === "failure")
            showTiles()
    }
    Keys.onEscapePressed: goBack()

    Item {
        id: tilesView
        objectName: "tilesView"
        anchors.fill: parent
        visible: root.view === "tiles"

        ColumnLayout {
            anchors.fill: parent
            anchors.margins: appTheme.spacing * 2
            spacing: appTheme.spacing * 1.5

            RowLayout {
                Layout.fillWidth: true
                Image {
                    id: logo
                    objectName: "logo"
                    visible: source != ""
                    source: launcher.brand.logo
                    Layout.preferredHeight: appTheme.titleFont * 1.5
                    Layout.preferredWidth: implicitHeight > 0
                                           ? height * implicitWidth / implicitHeight : 0
                    Layout.maximumWidth: root.width / 3
                    Layout.rightMargin: appTheme.spacing
                    fillMode: Image.PreserveAspectFit
                    sourceSize.height: appTheme.titleFont * 1.5
                }
                Text {
                    objectName: "tilesTitle"
                    Layout.fillWidth: true
                    text: launcher.brand.title ? launcher.brand.title : qsTr("Applications")
                    color: appTheme.text
                    font.pixelSize: appTheme.titleFont
                    font.bold: true
                }
                Text {
                    objectName: "version"
                    visible: backend.showVersionInfo
                    text: qsTr("Version %1").arg(backend.version)
                    color: appTheme.muted
                    font.pixelSize: appTheme.smallFont
                }
            }
            // The banner's place stays once a countdown has shown, so that the
            // tiles do not move when it ends, whatever ends it (a reload that
            // turns autostart off too).
            Item {
                id: countdownPlace
                property bool kept: false
                Layout.fillWidth: true
                implicitHeight: countdown.implicitHeight
                visible: kept
                Component.onCompleted: kept = backend.autostartActive
                Connections {
                    target: backend
                    function onAutostartSecondsChanged() {
                        if (backend.autostartActive)
                            countdownPlace.kept = true
                    }
                }
                CountdownBanner {
                    id: countdown
                    objectName: "countdown"
                    theme: appTheme
                    anchors.fill: parent
                    visible: backend.autostartActive
                    seconds: backend.autostartSeconds
                    applicationName: root.nameOf(backend.autostartApplication)
                    onCancelRequested: backend.cancelAutostart()
                }
            }
            Item {
                Layout.fillWidth: true
                Layout.fillHeight: true
                TileGrid {
                    id: tileGrid
                    objectName: "tileGrid"
                    theme: appTheme
                    anchors.centerIn: parent
                    onStartRequested: root.startApplication(basename)
                    // A grid whose arrows go round keeps every key it is given.
                    Keys.onEscapePressed: root.goBack()
                    onProblemsRequested: {
                        root.failureLog = []
                        root.failure = {
                            "basename": basename,
                            "name": name,
                            "outcome": "failed",
                            "failureReason": qsTr("its settings keep it from starting"),
                            "failedProcessIndex": -1,
                            "problems": problems
                        }
                    }
                }
                // More tiles below: the last row fades out.
                Rectangle {
                    anchors.left: tileGrid.left
                    anchors.right: tileGrid.right
                    anchors.bottom: tileGrid.bottom
                    height: tileGrid.fadeHeight
                    visible: height > 0
                    gradient: Gradient {
                        GradientStop {
                            position: 0
                            color: Qt.rgba(appTheme.background.r, appTheme.background.g,
                                           appTheme.background.b, 0)
                        }
                        GradientStop {
                            position: 1
                            color: appTheme.background
                        }
                    }
                }
                Text {
                    objectName: "noTiles"
                    anchors.centerIn: parent
                    visible: tileGrid.count === 0
                    text: qsTr("No applications are installed.")
                    color: appTheme.muted
                    font.pixelSize: appTheme.fontSize
                }
            }
        }
    }

    RunningView {
        id: runningView
        objectName: "runningView"
        theme: appTheme
        anchors.fill: parent
        visible: root.view === "running"
    }

    FailureView {
        id: failureView
        objectName: "failureView"
        theme: appTheme
        anchors.fill: parent
        visible: root.view === "failure"
        result: root.failure
        logLines: root.failureLog
        onRestartRequested: root.startApplication(basename)
        onBackRequested: root.showTiles()
    }
}
