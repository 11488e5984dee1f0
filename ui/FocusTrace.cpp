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

// The items that show a focus ring: the named owners of the shown "focusRing" items.
void collectRings(const QQuickItem* item, QStringList& owners)
{
    const QList<QQuickItem*> children = item->childItems();
    for (const QQuickItem* child : children) {
        if (!child->isVisible())
            continue;
        if (child->objectName() == QLatin1String("focusRing"))
            owners.append(nameOf(child->parentItem()));
        collectRings(child, owners);
    }
}

} // namespace

FocusTrace::FocusTrace(QQuickWindow* window) : QObject(window), m_window(window)
{
    // Queued: the items' bindings follow the focus first.
    connect(window, &QQuickWindow::activeFocusItemChanged, this,
            &FocusTrace::onActiveFocusItemChanged, Qt::QueuedConnection);
    window->installEventFilter(this);
}

bool FocusTrace::eventFilter(QObject* watched, QEvent* event)
{
    // After the key has done its work: the release follows the press.
    if (event->type() == QEvent::KeyRelease)
        onActiveFocusItemChanged();
    return QObject::eventFilter(watched, event);
}

void FocusTrace::onActiveFocusItemChanged()
{
    QStringList rings;
    collectRings(m_window->contentItem(), rings);
    qInfo("focus: %s ring: %s", qUtf8Printable(nameOf(m_window->activeFocusItem())),
          qUtf8Printable(rings.join(QLatin1Char(','))));
}
