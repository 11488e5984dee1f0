#pragma once

#include <QObject>

class QQuickItem;
class QQuickWindow;

// With LAUNCHER_UI_TRACE_FOCUS set, the screen says on its standard error
// where the keyboard is: "focus: ITEM ring: ITEMS", the item that has the
// active focus ("-" while the window does not have the display's) and those
// whose focus ring shows (each by its objectName), at each change of the
// focus and after each key. A test drives the screen on a
// real display with synthetic keys and reads this.
class FocusTrace : public QObject
{
    Q_OBJECT

public:
    explicit FocusTrace(QQuickWindow* window);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void onFocusChanged();

    QQuickWindow* m_window;
};
