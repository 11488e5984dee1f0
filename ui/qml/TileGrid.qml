import QtQuick 2.15
import QtQuick.Controls 2.15
import Launcher 1.0

// The tiles of the applications. Arrows and Tab move between them, Enter and
// Space start the one that has the focus; a tap starts the one tapped. One
// that cannot start tells why instead.
GridView {
    id: grid

    property QtObject theme

    signal startRequested(string basename)
    // An application that cannot start was chosen: what keeps it from starting.
    signal problemsRequested(string basename, string name, var problems)

    readonly property int columns: Math.max(1, Math.floor(parent.width / cellWidth))

    width: Math.min(parent.width, columns * cellWidth, Math.max(1, count) * cellWidth)
    height: Math.min(parent.height, Math.ceil(count / columns) * cellHeight)
    cellWidth: theme.tileSize + theme.spacing
    cellHeight: theme.tileSize + theme.spacing
    interactive: contentHeight > height
    // A grid that fits does not flick, but its arrows must still move.
    keyNavigationEnabled: true
    clip: true
    keyNavigationWraps: true
    boundsBehavior: Flickable.StopAtBounds

    // The bottom of the grid fades out while more tiles follow (Main draws the
    // fade); the tile that has the focus is kept above it.
    readonly property real fadeZone: cellHeight * 0.4
    readonly property bool moreBelow: contentY - originY + height < contentHeight - 1
    readonly property real fadeHeight: moreBelow ? fadeZone : 0
    highlightRangeMode: GridView.ApplyRange
    preferredHighlightBegin: 0
    preferredHighlightEnd: height - fadeZone

    // Tiles beyond the edge: the bar says that there are more, and where.
    ScrollIndicator.vertical: ScrollIndicator {
        objectName: "tileScroll"
        active: grid.interactive
    }

    model: TileFilter {
        id: tiles
        applications: backend.applications
        showInvalid: backend.showInvalidTiles
    }

    delegate: Tile {
        theme: grid.theme
        width: grid.cellWidth
        height: grid.cellHeight
        objectName: "tile-" + model.basename
        basename: model.basename
        name: model.name
        iconSource: launcher.iconSource(model.basename, model.icon)
        valid: model.valid
        problems: model.problems
        current: GridView.isCurrentItem && grid.activeFocus
        onActivated: {
            grid.currentIndex = index
            grid.forceActiveFocus()
            grid.startCurrent()
        }
    }

    function startCurrent() {
        if (!currentItem)
            return
        if (currentItem.valid)
            startRequested(currentItem.basename)
        else
            problemsRequested(currentItem.basename, currentItem.title, currentItem.problems)
    }

    Keys.onReturnPressed: startCurrent()
    Keys.onEnterPressed: startCurrent()
    Keys.onSpacePressed: startCurrent()
    Keys.onTabPressed: currentIndex = (currentIndex + 1) % Math.max(1, count)
    Keys.onBacktabPressed: currentIndex = (currentIndex + count - 1) % Math.max(1, count)

    // Up and Down keep the column: the row above or below, or the last tile of
    // the last row where it is shorter; round from the last row to the first.
    // (The view's own steps go by index, off the end of a shorter row.)
    Keys.onUpPressed: moveRows(-1)
    Keys.onDownPressed: moveRows(1)
    function moveRows(step) {
        if (count === 0)
            return
        var perRow = Math.max(1, Math.floor(width / cellWidth + 0.01))
        var rows = Math.ceil(count / perRow)
        var row = (Math.floor(currentIndex / perRow) + step + rows) % rows
        currentIndex = Math.min(row * perRow + currentIndex % perRow, count - 1)
    }
}
