#include "WindowPlacement.h"

#include "support/Trace.h"

#include <QGuiApplication>
#include <QRegularExpression>

#include <algorithm>
#include <cmath>

namespace {

// Clamps to [low, high], preferring `low` when the range is empty.
int bounded(int value, int low, int high)
{
    return std::max(low, std::min(value, high));
}

// One length: a number, then "px", "%" or nothing (pixels), spaces between allowed.
const QString LengthForm = QStringLiteral("(\\d+(?:\\.\\d+)?)\\s*(px|%)?");

} // namespace

int WindowPlacement::Length::resolve(int whole) const
{
    return int(std::lround(relative ? value * whole : value));
}

WindowPlacement::Length WindowPlacement::lengthOf(const QString& number, const QString& unit)
{
    Length length;
    length.relative = unit == QLatin1String("%");
    length.value = number.toDouble() / (length.relative ? 100.0 : 1.0);
    return length;
}

QString WindowPlacement::defaultWidth(Placer placer)
{
    return placer == Placer::Compositor ? QStringLiteral("100%") : QStringLiteral("1000px");
}

WindowPlacement::Placer WindowPlacement::platformPlacer()
{
    // "wayland", "wayland-egl", "wayland-xcomposite-glx"...
    return QGuiApplication::platformName().startsWith(QLatin1String("wayland")) ? Placer::Compositor
                                                                                : Placer::Window;
}

WindowPlacement::WindowPlacement(const QString& location, const QString& width, Placer placer)
{
    static const QRegularExpression widthForm(QStringLiteral("^\\s*%1\\s*$").arg(LengthForm),
                                              QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression locationForm(
        QStringLiteral("^\\s*%1\\s*[\\s,]\\s*%1\\s*$").arg(LengthForm),
        QRegularExpression::CaseInsensitiveOption);

    const QString fallback = defaultWidth(placer);
    const QRegularExpressionMatch w = widthForm.match(width.trimmed().isEmpty() ? fallback : width);
    m_width = w.hasMatch() ? lengthOf(w.captured(1), w.captured(2).toLower()) : Length();
    if (m_width.value <= 0) {
        Solvane::Trace::warning("ui/width \"%s\" is not a width such as 1000px or 80%%; using %s",
                                qUtf8Printable(width), qUtf8Printable(fallback));
        const QRegularExpressionMatch f = widthForm.match(fallback);
        m_width = lengthOf(f.captured(1), f.captured(2).toLower());
        m_widthAccepted = false;
    }

    const QRegularExpressionMatch l = locationForm.match(location);
    if (l.hasMatch()) {
        m_x = lengthOf(l.captured(1), l.captured(2).toLower());
        m_y = lengthOf(l.captured(3), l.captured(4).toLower());
    } else {
        Solvane::Trace::warning(
            "ui/location \"%s\" is not a location such as \"50%% 50%%\" or \"0px 0px\"; using %s",
            qUtf8Printable(location), DefaultLocation);
        m_x = m_y = lengthOf(QStringLiteral("50"), QStringLiteral("%"));
        m_locationAccepted = false;
    }
}

QRect WindowPlacement::geometry(const QRect& available) const
{
    const int width = bounded(m_width.resolve(available.width()), 1, available.width());
    const int height = available.height();
    // A share places the window's centre; pixels place its top-left corner.
    const int left = m_x.relative ? m_x.resolve(available.width()) - width / 2 : m_x.resolve(0);
    const int top = m_y.relative ? m_y.resolve(available.height()) - height / 2 : m_y.resolve(0);
    return QRect(available.x() + bounded(left, 0, available.width() - width),
                 available.y() + bounded(top, 0, available.height() - height), width, height);
}
