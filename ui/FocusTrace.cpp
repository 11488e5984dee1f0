#include "FocusTrace.h"

#include <QEvent>
#include <QQuickItem>
#include <QQuickWindow>

namespace {

// The nearest item with a name, from `item` up.
QString nameOf(const QQuickItem* item)
{
    while (item && item->objectName().isEmpty())
        item = item->parentItem();
    return item ? item->objectName() : QStringLiteral("-");
}

// The items that show a focus ring: the named owners of the "focusRing" items
// that are shown at full strength (a ring under a greyed item is hard to see).
void collectRings(const QQuickItem* item, qreal opacity, QStringList& owners)
{
    const QList<QQuickItem*> children = item->childItems();
    for (const QQuickItem* child : children) {
        const qreal shown = opacity * child->opacity();
        if (!child->isVisible() || shown == 0)
            continue;
        if (child->objectName() == QLatin1String("focusRing") && shown > 0.99)
            owners.append(nameOf(child->parentItem()));
        collectRings(child, shown, owners);
    }
}

} // namespace

FocusTrace::FocusTrace(QQuickWindow* window) : QObject(window), m_window(window)
{
    // Queued: the items' bindings follow the focus first.
    connect(window, &QQuickWindow::activeFocusItemChanged, this, &FocusTrace::onFocusChanged,
            Qt::QueuedConnection);
    connect(window, &QQuickWindow::activeChanged, this, &FocusTrace::onFocusChanged,
            Qt::QueuedConnection);
    window->installEventFilter(this);
}

bool FocusTrace::eventFilter(QObject* watched, QEvent* event)
{
    // After the key has done its work: the release follows the press.
    if (event->type() == QEvent::KeyRelease)
        onFocusChanged();
    return QObject::eventFilter(watched, event);
}

void FocusTrace::onFocusChanged()
{
    QStringList rings;
    collectRings(m_window->contentItem(), m_window->contentItem()->opacity(), rings);
    // Keys reach the focus item only while the window has the display's focus.
    const QQuickItem* focus = m_window->isActive() ? m_window->activeFocusItem() : nullptr;
    qInfo("focus: %s ring: %s", qUtf8Printable(nameOf(focus)),
          qUtf8Printable(rings.join(QLatin1Char(','))));
}
