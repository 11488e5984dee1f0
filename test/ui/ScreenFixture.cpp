#include "ScreenFixture.h"

#include <QQuickItemGrabResult>
#include <QQuickView>
#include <QSignalSpy>

namespace {

QQuickItem* findItem(QQuickItem* parent, const QString& objectName, bool shownOnly)
{
    if (!parent || (shownOnly && !parent->isVisible()))
        return nullptr;
    if (parent->objectName() == objectName)
        return parent;
    const QList<QQuickItem*> children = parent->childItems();
    for (QQuickItem* child : children) {
        if (QQuickItem* found = findItem(child, objectName, shownOnly))
            return found;
    }
    return nullptr;
}

} // namespace

void ScreenFixture::init()
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

void ScreenFixture::cleanup()
{
    qunsetenv("XDG_RUNTIME_DIR");
    m_screen.reset();
    m_folders.reset();
    QVERIFY2(m_marker->noneLeft(), "a child of the screen outlived it");
}

void ScreenFixture::writeSettings(const QString& ui, const QString& autostart)
{
    QVERIFY(writeFile(m_folders->user() + "/launcher.ini",
                      ("[ui]\n" + ui + "\n[autostart]\n" + autostart + "\n").toUtf8()));
}

void ScreenFixture::writeShellApp(const QString& basename, const QString& name,
                                  const QString& script, bool daemon, const QString& exec,
                                  const QString& more)
{
    QString text = QStringLiteral("[ui]\nname=%1\n[process-1]\nexec=%2\narguments=-c, \"%3\", %4\n"
                                  "mode=sync\nrequired=true\nlibrary-paths=/usr/bin, /bin\n%5\n")
                       .arg(name, exec, script, m_marker->text(), more);
    if (daemon)
        text += "[process-0]\nexec=/bin/sh\narguments=-c, \"echo sound server up; while :; "
                "do sleep 0.2; done\", " +
                m_marker->text() + "\nmode=daemon\n";
    QVERIFY(writeFile(m_folders->user() + "/apps/" + basename + ".ini", text.toUtf8()));
}

bool ScreenFixture::openScreen(const QSize& size)
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

QQuickItem* ScreenFixture::item(const QString& objectName, QQuickItem* within) const
{
    return findItem(within ? within : m_screen->view()->rootObject(), objectName, false);
}

QQuickItem* ScreenFixture::shown(const QString& objectName) const
{
    return findItem(m_screen->view()->rootObject(), objectName, true);
}

QString ScreenFixture::text(const QString& objectName, QQuickItem* within) const
{
    const QQuickItem* found = item(objectName, within);
    return found ? found->property("text").toString() : QString();
}

void ScreenFixture::click(const QString& objectName)
{
    QQuickItem* target = shown(objectName);
    QVERIFY2(target, qPrintable(objectName));
    const QPointF centre = target->mapToScene(QPointF(target->width() / 2, target->height() / 2));
    QTest::mouseClick(m_screen->view(), Qt::LeftButton, Qt::NoModifier, centre.toPoint());
}

QImage ScreenFixture::grab() const
{
    const auto result = m_screen->view()->rootObject()->grabToImage();
    QSignalSpy ready(result.data(), &QQuickItemGrabResult::ready);
    return ready.wait(10000) ? result->image() : QImage();
}
