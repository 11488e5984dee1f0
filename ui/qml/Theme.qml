import QtQuick 2.15

// Sizes follow the window, so that the screen reads alike on a 1920x1080
// panel and on an 800x480 one; text never gets smaller than minimumFont.
// The owner's brand (launcher.brand) replaces the colours and scales the text;
// what it leaves empty keeps the look below.
QtObject {
    property real width: 1280
    property real height: 720
    property var brand: ({})

    readonly property real unit: Math.max(10, Math.min(width / 55, height / 40))
    readonly property real textScale: brand.textScale > 0 ? brand.textScale : 1
    readonly property int minimumFont: 14
    readonly property int fontSize: Math.max(minimumFont, Math.round(unit * textScale))
    readonly property int smallFont: Math.max(minimumFont, Math.round(unit * 0.8 * textScale))
    readonly property int titleFont: Math.max(minimumFont + 4, Math.round(unit * 1.7 * textScale))
    readonly property int hugeFont: Math.max(minimumFont + 8, Math.round(unit * 2.6 * textScale))
    readonly property real spacing: Math.round(unit)
    readonly property real radius: Math.round(unit * 0.6)
    // Larger text wants larger tiles to hold a name.
    readonly property real tileSize: Math.round(Math.max(140, unit * 10 * textScale))
    readonly property real focusRingWidth: Math.max(3, Math.round(unit * 0.25))

    readonly property color background: brand.backgroundColor ? brand.backgroundColor : "#0f1419"
    // On a light background the cards are a shade of it and the text is dark.
    readonly property bool light: isLight(background)
    readonly property color surface: light ? Qt.darker(background, 1.08) : "#1b2430"
    readonly property color surfaceRaised: light ? Qt.darker(background, 1.16) : "#243246"
    readonly property color accent: brand.accentColor ? brand.accentColor : "#3d8bfd"
    readonly property color text: textOn(background)
    readonly property color muted: light ? "#4d5b6b" : "#9aa7b5"
    readonly property color danger: "#e5534b"
    readonly property color warning: "#d29922"
    readonly property color success: "#3fb950"
    readonly property string monospace: "monospace"

    // Light by how bright the eye finds it: text on it is dark.
    function isLight(fill) {
        return 0.299 * fill.r + 0.587 * fill.g + 0.114 * fill.b > 0.6
    }
    // Text that reads on a fill.
    function textOn(fill) {
        return isLight(fill) ? "#1b2430" : "#eef2f6"
    }

    // A steady colour of its own for each name, for icons that are missing.
    readonly property var placeholderColors: ["#2d6cc0", "#7a4fc4", "#2e8b57", "#b7791f",
                                              "#c05621", "#b83a3a", "#1f8a8a", "#a23b72"]
    function colorFor(name) {
        var hash = 7
        for (var i = 0; i < name.length; ++i)
            hash = (hash * 31 + name.charCodeAt(i)) % 1000003
        return placeholderColors[hash % placeholderColors.length]
    }
}
