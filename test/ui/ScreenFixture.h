#pragma once

#include "LauncherScreen.h"
#include "TestFixtures.h"

#include <QImage>
#include <QLocale>
#include <QObject>
#include <QQuickItem>
#include <QQuickItemGrabResult>
#include <QQuickView>
#include <QSignalSpy>
#include <QSize>

#include <memory>

// Runs until it is asked to terminate.
inline const QString LongScript = "trap 'exit 0' TERM; echo ready; while :; do sleep 0.2; done";

// What the tests of the kiosk screen share: per test, fresh data folders with
// the bundled examples (a valid "demo" and an invalid "broken") and a
// launcher.ini without a countdown, a private runtime folder for the
// control socket, and a marker that every child carries and none outlives.
// The screen has its real QML; its items are found by their objectName.
class ScreenFixture : public QObject
{
    Q_OBJECT

protected:
    std::unique_ptr<ProcessMarker> m_marker;
    std::unique_ptr<DataFolders> m_folders;
    std::unique_ptr<LauncherScreen> m_screen;

    // launcher.ini with these lines below [ui] and [autostart].
    void writeSettings(const QString& ui, const QString& autostart = QString())
    {
        QVERIFY(writeFile(m_folders->user() + "/launcher.ini",
                          ("[ui]\n" + ui + "\n[autostart]\n" + autostart + "\n").toUtf8()));
    }

    // apps/BASENAME.ini of one required process running `script` with the
    // shell (or `exec`, with the script as its arguments) and the lines of
    // `more`; with `daemon`, after a daemon that runs until it is terminated.
    void writeShellApp(const QString& basename, const QString& name, const QString& script,
                       bool daemon = false, const QString& exec = "/bin/sh",
                       const QString& more = QString())
    {
        QString text =
            QStringLiteral("[ui]\nname=%1\n[process-1]\nexec=%2\narguments=-c, \"%3\", %4\n"
                           "mode=sync\nrequired=true\nlibrary-paths=/usr/bin, /bin\n%5\n")
                .arg(name, exec, script, m_marker->text(), more);
        if (daemon)
            text += "[process-0]\nexec=/bin/sh\narguments=-c, \"echo sound server up; while :; "
                    "do sleep 0.2; done\", " +
                    m_marker->text() + "\nmode=daemon\n";
        QVERIFY(writeFile(m_folders->user() + "/apps/" + basename + ".ini", text.toUtf8()));
    }

    // A screen on the data folders, loaded, shown (at `size`, if one is
    // given) and laid out; false when it does not load.
    bool openScreen(const QSize& size = QSize())
    {
        m_screen = std::make_unique<LauncherScreen>();
        if (!m_screen->load())
            return false;
        m_screen->show();
        if (size.isValid())
            m_screen->view()->setGeometry(QRect(QPoint(0, 0), size));
        return QTest::qWaitForWindowActive(m_screen->view()) && QTest::qWaitFor([&] {
                   return !size.isValid() || m_screen->view()->rootObject()->size() == QSizeF(size);
               });
    }

    // The first item of that name, depth first; `shown` skips hidden ones.
    static QQuickItem* find(QQuickItem* parent, const QString& objectName, bool shownOnly)
    {
        if (!parent || (shownOnly && !parent->isVisible()))
            return nullptr;
        if (parent->objectName() == objectName)
            return parent;
        const QList<QQuickItem*> children = parent->childItems();
        for (QQuickItem* child : children) {
            if (QQuickItem* found = find(child, objectName, shownOnly))
                return found;
        }
        return nullptr;
    }

    QQuickItem* item(const QString& objectName, QQuickItem* within = nullptr) const
    {
        return find(within ? within : m_screen->view()->rootObject(), objectName, false);
    }

    QQuickItem* shown(const QString& objectName) const
    {
        return find(m_screen->view()->rootObject(), objectName, true);
    }

    bool isShown(const QString& objectName) const { return shown(objectName); }
    QString text(const QString& objectName, QQuickItem* within = nullptr) const
    {
        const QQuickItem* found = item(objectName, within);
        return found ? found->property("text").toString() : QString();
    }

    void click(const QString& objectName)
    {
        QQuickItem* target = shown(objectName);
        QVERIFY2(target, qPrintable(objectName));
        const QPointF centre =
            target->mapToScene(QPointF(target->width() / 2, target->height() / 2));
        QTest::mouseClick(m_screen->view(), Qt::LeftButton, Qt::NoModifier, centre.toPoint());
    }

    // The window's picture: its root item fills it. (The offscreen
    // platform's windows have no picture of their own to grab.)
    QImage grab() const
    {
        const auto result = m_screen->view()->rootObject()->grabToImage();
        QSignalSpy ready(result.data(), &QQuickItemGrabResult::ready);
        return ready.wait(10000) ? result->image() : QImage();
    }

protected slots:
    void init()
    {
        m_marker = std::make_unique<ProcessMarker>();
        m_folders = std::make_unique<DataFolders>();
        // The control socket of a program of the test goes there, apart from any other.
        QVERIFY(makePrivateFolder(m_folders->root() + "/run"));
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(m_folders->root() + "/run"));
        const QString examples = QStringLiteral(LAUNCHER_EXAMPLES_DIR "/apps/");
        for (const QString& name : QDir(examples).entryList({"*.ini"}))
            QVERIFY(writeFile(m_folders->user() + "/apps/" + name, fileContent(examples + name)));
        writeSettings(QString());
    }

    void cleanup()
    {
        QLocale::setDefault(QLocale::system());
        qunsetenv("XDG_RUNTIME_DIR");
        m_screen.reset();
        m_folders.reset();
        QVERIFY2(m_marker->noneLeft(), "a child of the screen outlived it");
    }
};
