#include "Backend.h"
#include "LauncherScreen.h"
#include "TestFixtures.h"
#include "TestRegistry.h"

#include <QImage>
#include <QQuickItem>
#include <QQuickItemGrabResult>
#include <QQuickView>
#include <QSignalSpy>
#include <QTest>

namespace {

const QString LongScript = "trap 'exit 0' TERM; echo ready; while :; do sleep 0.2; done";
const QString LongName = "Digital signage player for the lobby";

QQuickItem* findItem(QQuickItem* parent, const QString& objectName)
{
    if (!parent || parent->objectName() == objectName)
        return parent;
    const QList<QQuickItem*> children = parent->childItems();
    for (QQuickItem* child : children) {
        if (QQuickItem* found = findItem(child, objectName))
            return found;
    }
    return nullptr;
}

// Whether `text` (a Text item) shows all of its text within its width, and
// that width within the window.
bool whole(const QQuickItem* text)
{
    if (!text || text->width() <= 0 || !text->window())
        return false;
    const QRectF shown = text->mapRectToScene(QRectF(0, 0, text->width(), text->height()));
    return !text->property("truncated").toBool() &&
           text->property("contentWidth").toReal() <= text->width() + 0.5 && shown.left() >= 0 &&
           shown.right() <= text->window()->width() + 0.5;
}

QString describe(const QQuickItem* text)
{
    return text ? QStringLiteral("'%1': %2 lines, truncated %3, %4 of %5 px wide")
                      .arg(text->property("text").toString())
                      .arg(text->property("lineCount").toInt())
                      .arg(text->property("truncated").toBool())
                      .arg(text->property("contentWidth").toReal())
                      .arg(text->width())
                : QStringLiteral("no such item");
}

} // namespace

// Where the kiosk screen puts its tiles and its texts at the sizes of real
// panels: the tiles keep their place and the arrows follow the rows, and no
// text a person needs is cut.
class TestScreenLayout : public QObject
{
    Q_OBJECT

    std::unique_ptr<ProcessMarker> m_marker;
    std::unique_ptr<DataFolders> m_folders;
    std::unique_ptr<LauncherScreen> m_screen;

    void writeSettings(const QString& ui, const QString& autostart = QString())
    {
        QVERIFY(writeFile(m_folders->user() + "/launcher.ini",
                          ("[ui]\n" + ui + "\n[autostart]\n" + autostart + "\n").toUtf8()));
    }

    // apps/BASENAME.ini of one required process running `script` with the
    // shell, or `exec` with the script as its arguments.
    void writeApp(const QString& basename, const QString& name, const QString& script,
                  const QString& exec = "/bin/sh", const QString& label = QString())
    {
        const QString text = QStringLiteral("[ui]\nname=%1\n[process-1]\nexec=%2\n"
                                            "arguments=-c, \"%3\", %4\nmode=sync\n"
                                            "required=true\nlibrary-paths=/usr/bin, /bin\n%5")
                                 .arg(name, exec, script, m_marker->text(),
                                      label.isEmpty() ? QString() : "label=" + label + "\n");
        QVERIFY(writeFile(m_folders->user() + "/apps/" + basename + ".ini", text.toUtf8()));
    }

    // The screen on the data folders, shown at `size` and laid out.
    bool openScreen(const QSize& size)
    {
        m_screen = std::make_unique<LauncherScreen>();
        if (!m_screen->load())
            return false;
        m_screen->show();
        m_screen->view()->setGeometry(QRect(QPoint(0, 0), size));
        return QTest::qWaitForWindowActive(m_screen->view()) && QTest::qWaitFor([&] {
                   return m_screen->view()->rootObject()->size() == QSizeF(size);
               });
    }

    QQuickItem* item(const QString& objectName, QQuickItem* within = nullptr) const
    {
        return findItem(within ? within : m_screen->view()->rootObject(), objectName);
    }

    bool isShown(const QString& objectName) const
    {
        return item(objectName) && item(objectName)->isVisible();
    }

    QImage grab()
    {
        const auto result = m_screen->view()->rootObject()->grabToImage();
        QSignalSpy ready(result.data(), &QQuickItemGrabResult::ready);
        return ready.wait(10000) ? result->image() : QImage();
    }

private slots:
    void init()
    {
        m_marker = std::make_unique<ProcessMarker>();
        m_folders = std::make_unique<DataFolders>();
        QVERIFY(makePrivateFolder(m_folders->root() + "/run"));
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(m_folders->root() + "/run"));
        writeSettings(QString());
    }

    void cleanup()
    {
        qunsetenv("XDG_RUNTIME_DIR");
        m_screen.reset();
        m_folders.reset();
        QVERIFY2(m_marker->noneLeft(), "a child of the screen outlived it");
    }

    void upDown_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<int>("count");
        for (const QSize size : {QSize(800, 480), QSize(1280, 720)}) {
            for (int count = 1; count <= 13; ++count)
                QTest::addRow("%d tiles, %dx%d", count, size.width(), size.height())
                    << size << count;
        }
    }

    // Up and Down go to the row above or below at the same column, or to the
    // last tile of a shorter row; they go round from the last row to the
    // first and back. In one row they stay.
    void upDown()
    {
        QFETCH(QSize, size);
        QFETCH(int, count);
        for (int i = 0; i < count; ++i)
            writeApp(QString("tile-%1").arg(i, 2, 10, QChar('0')), QString(), LongScript);
        QVERIFY(openScreen(size));
        QQuickItem* grid = item("tileGrid");
        QTRY_COMPARE(grid->property("count").toInt(), count);
        const qreal cellWidth = grid->property("cellWidth").toReal();
        const qreal cellHeight = grid->property("cellHeight").toReal();
        const int columns = qRound(grid->width() / cellWidth);
        const int rows = (count + columns - 1) / columns;
        const auto rowLength = [&](int row) { return std::min(columns, count - row * columns); };
        // Where the current tile is, as (column, row) of the cells.
        const auto place = [&] {
            const auto* current = grid->property("currentItem").value<QQuickItem*>();
            return current
                       ? QPoint(qRound(current->x() / cellWidth), qRound(current->y() / cellHeight))
                       : QPoint(-1, -1);
        };
        for (int start = 0; start < count; ++start) {
            for (const int step : {-1, 1}) {
                grid->setProperty("currentIndex", start);
                QVERIFY(grid->hasActiveFocus());
                const QPoint from = place();
                const int row = (from.y() + step + rows) % rows;
                const QPoint expected(std::min(from.x(), rowLength(row) - 1), row);
                QTest::keyClick(m_screen->view(), step < 0 ? Qt::Key_Up : Qt::Key_Down);
                const QPoint to = place();
                QVERIFY2(to == expected, qPrintable(QString::asprintf(
                                             "%s from column %d, row %d of %d columns: to %d, %d",
                                             step < 0 ? "Up" : "Down", from.x(), from.y(), columns,
                                             to.x(), to.y())));
            }
        }
    }

    // A long grid follows a drag, and a tap without one still starts.
    void drag()
    {
        for (int i = 0; i < 13; ++i)
            writeApp(QString("tile-%1").arg(i, 2, 10, QChar('0')), QString(), LongScript);
        QVERIFY(openScreen(QSize(800, 480)));
        QQuickItem* grid = item("tileGrid");
        QTRY_COMPARE(grid->property("count").toInt(), 13);
        const QPoint from =
            grid->mapToScene(QPointF(grid->width() / 2, grid->height() * 0.8)).toPoint();
        QTest::mousePress(m_screen->view(), Qt::LeftButton, Qt::NoModifier, from);
        for (int y = 10; y <= 200; y += 10)
            QTest::mouseMove(m_screen->view(), from - QPoint(0, y), 20);
        QTest::mouseRelease(m_screen->view(), Qt::LeftButton, Qt::NoModifier, from - QPoint(0, 200),
                            20);
        QTRY_VERIFY(grid->property("contentY").toReal() - grid->property("originY").toReal() > 50);
        QVERIFY(m_screen->backend()->runningApplication().isEmpty());
    }

    void countdownEnds_data()
    {
        QTest::addColumn<QString>("end"); // a key, a control, or "reload"
        QTest::newRow("escape") << "Escape";
        QTest::newRow("cancel control") << "countdownCancel";
        QTest::newRow("reload, autostart off") << "reload";
    }

    // However the countdown ends without starting anything, the tiles stay
    // where they were, pixel for pixel.
    void countdownEnds()
    {
        QFETCH(QString, end);
        for (const QString name : {"Clock", "Notice board", "Visitor guide"})
            writeApp(name.toLower().replace(' ', '-'), name, LongScript);
        writeSettings(QString(), "tile=clock\ntimeout=30");
        QVERIFY(openScreen(QSize(800, 480)));
        Backend* backend = m_screen->backend();
        QTRY_VERIFY(isShown("countdown") && backend->autostartActive());
        QQuickItem* grid = item("tileGrid");
        const QRect tiles =
            grid->mapRectToScene(QRectF(0, 0, grid->width(), grid->height())).toAlignedRect();
        const QImage before = grab().copy(tiles);
        QVERIFY(!before.isNull());
        if (end == "reload") {
            writeSettings(QString());
            QVERIFY(backend->reload().isEmpty());
        } else if (end == "Escape") {
            QTest::keyClick(m_screen->view(), Qt::Key_Escape);
        } else {
            QQuickItem* control = item(end);
            QTest::mouseClick(m_screen->view(), Qt::LeftButton, Qt::NoModifier,
                              control->mapToScene(control->boundingRect().center()).toPoint());
        }
        QTRY_VERIFY(!backend->autostartActive() && !isShown("countdown"));
        QVERIFY(backend->runningApplication().isEmpty());
        QCOMPARE(grab().copy(tiles), before);
    }

    void tileTexts_data()
    {
        QTest::addColumn<QSize>("size");
        for (const QSize size : {QSize(800, 480), QSize(1280, 720), QSize(1920, 1080)})
            QTest::addRow("%dx%d", size.width(), size.height()) << size;
    }

    // A long name takes two lines and then ends in an ellipsis; the tile with
    // the focus shows it whole, within its card. A greyed tile's reason wraps
    // over the room its card has (the cannot-start screen shows it whole).
    void tileTexts()
    {
        QFETCH(QSize, size);
        writeApp("a-signage", LongName, LongScript);
        writeApp("b-clock", "Clock", LongScript);
        writeApp("c-player", "Player", LongScript, "/usr/lib/kiosk-signage/bin/signage-player");
        writeSettings("show-invalid-tiles=true");
        QVERIFY(openScreen(size));
        QTRY_VERIFY(isShown("tile-c-player"));
        const auto withinCard = [&](const QString& tile, const QString& text) {
            const QQuickItem* shown = item(text, item(tile));
            const QRectF box = shown->mapRectToItem(item(tile), shown->boundingRect());
            return QRectF(0, 0, item(tile)->width(), item(tile)->height()).contains(box);
        };
        QQuickItem* name = item("tileName", item("tile-a-signage"));
        QTRY_VERIFY2(whole(name) && name->property("lineCount").toInt() >= 3 &&
                         withinCard("tile-a-signage", "tileName"),
                     qPrintable(describe(name)));
        QTest::keyClick(m_screen->view(), Qt::Key_Right);
        QTRY_VERIFY2(name->property("truncated").toBool() &&
                         name->property("lineCount").toInt() == 2,
                     qPrintable(describe(name)));
        QQuickItem* reason = item("tileProblems", item("tile-c-player"));
        QTRY_VERIFY2(reason->property("lineCount").toInt() >= 2 &&
                         withinCard("tile-c-player", "tileProblems"),
                     qPrintable(describe(reason)));
    }

    // The failure screen wraps the lines of the log: every word of them
    // shows, the exit code at the end of the launcher's own line too. The
    // running view gives a long process name the width of the screen. Long
    // names of applications wrap on both.
    void longLines()
    {
        writeApp("player", "Digital signage player of the entrance hall and the shop",
                 "echo player: no display found on the output connector HDMI-A-1 of the lobby "
                 "after 30 tries; sleep 0.5; exit 3");
        writeApp("board", "Notice board of the entrance hall and the café shop", LongScript,
                 "/bin/sh",
                 "notice board renderer for the screens of the entrance hall and the gift shop");
        QVERIFY(openScreen(QSize(1280, 720)));
        QTRY_VERIFY(isShown("tile-board"));
        m_screen->backend()->startApplication("board");
        QTRY_VERIFY(isShown("runningView") && item("process-0"));
        QQuickItem* process = item("processName", item("process-0"));
        const QQuickItem* row = item("process-0");
        QTRY_VERIFY2(whole(process) && process->property("lineCount").toInt() == 1 &&
                         row->x() + row->width() <= row->parentItem()->width() + 0.5,
                     qPrintable(describe(process)));
        QTRY_VERIFY2(whole(item("runningName")) &&
                         item("runningName")->property("text").toString().startsWith("Notice"),
                     qPrintable(describe(item("runningName"))));
        m_screen->backend()->stopApplication();
        QTRY_VERIFY(isShown("tilesView"));
        m_screen->backend()->startApplication("player");
        QTRY_VERIFY(isShown("failureView") &&
                    item("failureLog")->property("text").toString().contains("exit code 3"));
        QList<QQuickItem*> lines;
        const std::function<void(QQuickItem*)> collect = [&](QQuickItem* parent) {
            for (QQuickItem* child : parent->childItems()) {
                if (child->objectName().startsWith("logLine-"))
                    lines.append(child);
                collect(child);
            }
        };
        collect(item("failureLog"));
        QVERIFY(lines.size() >= 2);
        for (const QQuickItem* line : lines) // once the view is laid out
            QTRY_VERIFY2(whole(line), qPrintable(describe(line)));
        QVERIFY2(whole(item("failureTitle")), qPrintable(describe(item("failureTitle"))));
    }
};

LAUNCHER_TEST(TestScreenLayout)
#include "TestScreenLayout.moc"
