#pragma once

#include <QRect>
#include <QString>

// Where the launcher's window goes on a screen, from the texts of the settings
// ui/location and ui/width.
//
// Width: "N px", "Npx" or a bare "N" in pixels, or "N%" of the available
// width; never wider than the available area. N may have decimals.
// Location: two values "X Y" (a comma between them does too), each either
// "N%" (where the window's centre goes, as a share of the available area) or
// "N px"/"Npx"/"N" (the offset of the window's top-left corner from the
// area's). The window always stays inside the available area.
// Height: the whole available height, as a kiosk panel.
// An empty width is the default of whoever places the window: 1000 px where
// the screen places its own window (X), the whole width where the compositor
// places it (Wayland: a kiosk compositor ignores positions, so a narrower
// window would sit at its left edge). A location means nothing to such a
// compositor; it is read all the same.
//
// A value that does not read falls back to its default (with a trace warning
// naming the key and the value); the two keys are judged apart.
class WindowPlacement
{
public:
    // Who decides where a window goes.
    enum class Placer
    {
        Window,
        Compositor
    };

    static constexpr const char* DefaultLocation = "50% 50%";

    WindowPlacement(const QString& location, const QString& width, Placer placer = Placer::Window);

    // The width that an empty or unreadable ui/width stands for.
    static QString defaultWidth(Placer placer);
    // Who places this process's windows, by the platform Qt draws on.
    static Placer platformPlacer();

    // The window's geometry inside `available` (a screen's available geometry).
    QRect geometry(const QRect& available) const;

    // Whether the texts read as given; false means the default took their place.
    bool locationAccepted() const { return m_locationAccepted; }
    bool widthAccepted() const { return m_widthAccepted; }

private:
    // One length: pixels, or a share of a whole (0..1 and beyond).
    struct Length
    {
        double value = 0;
        bool relative = false;
        int resolve(int whole) const;
    };
    static Length lengthOf(const QString& number, const QString& unit);

    Length m_x;
    Length m_y;
    Length m_width;
    bool m_locationAccepted = true;
    bool m_widthAccepted = true;
};
