#include "Backend.h"
#include "ScreenFixture.h"
#include "TestRegistry.h"

#include <QImage>
#include <QQuickItem>
#include <QQuickItemGrabResult>
#include <QQuickView>
#include <QSignalSpy>
#include <QTest>

namespace {

const QString LongName = "Digital signage player for the lobby";

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
class TestScreenLayout : public ScreenFixture
{
    Q_OBJECT

private slots:
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
    // first and back. In one row they stay. A grid longer than the window
    // (by more than a drag) follows a drag, which starts nothing.
    void upDown()
    {
        QFETCH(QSize, size);
        QFETCH(int, count);
        for (int i = 1; i < count; ++i) // and the example's
            writeShellApp(QString("tile-%1").arg(i, 2, 10, QChar('0')), QString(), LongScript);
        QVERIFY(openScreen(size));
        QQuickItem* grid = item("tileGrid");
        QTRY_COMPARE(grid->property("count").toInt(), count);
        const qreal cellWidth = grid->property("cellWidth").toReal();
        const qreal cellHeight = grid->property("cellHeight").toReal();
        const int columns = qRound(grid->width() / cellWidth);
        const int rows = (count + columns - 1) / columns;
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
                // The same column, or the last tile of a shorter row.
                const QPoint expected(std::min(from.x(), count - row * columns - 1), row);
                QTest::keyClick(m_screen->view(), step < 0 ? Qt::Key_Up : Qt::Key_Down);
                const QPoint to = place();
                QVERIFY2(to == expected, qPrintable(QString::asprintf(
                                             "%s from column %d, row %d of %d columns: to %d, %d",
                                             step < 0 ? "Up" : "Down", from.x(), from.y(), columns,
                                             to.x(), to.y())));
            }
        }
        if (rows * cellHeight < grid->height() + 100)
            return;
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

    void texts_data()
    {
        QTest::addColumn<QSize>("size");
        for (const QSize size : {QSize(800, 480), QSize(1280, 720), QSize(1920, 1080)})
            QTest::addRow("%dx%d", size.width(), size.height()) << size;
    }

    // A long name takes two lines and then ends in an ellipsis; the tile with
    // the focus shows it whole, within its card. A greyed tile's reason wraps
    // over the room its card has (the cannot-start screen shows it whole).
    // The failure screen wraps the lines of the log: every word of them
    // shows, the exit code at the end of the launcher's own line too. The
    // running view gives a long process name the width of the screen (where
    // it is as wide as 1280 px, on one line). Long names of applications wrap
    // on both.
    void texts()
    {
        QFETCH(QSize, size);
        writeShellApp("a-signage", LongName, LongScript);
        writeShellApp("c-player", "Player", LongScript, false,
                      "/usr/lib/kiosk-signage/bin/signage-player");
        writeShellApp("player", "Digital signage player of the entrance hall and the shop",
                      "echo player: no display found on the output connector HDMI-A-1 of the lobby "
                      "after 30 tries; sleep 0.5; exit 3");
        writeShellApp("board", "Notice board of the entrance hall and the café shop", LongScript,
                      false, "/bin/sh",
                      "label=notice board renderer for the screens of the entrance hall and the "
                      "gift shop");
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
        m_screen->backend()->startApplication("board");
        QTRY_VERIFY(isShown("runningView") && item("process-0"));
        QQuickItem* process = item("processName", item("process-0"));
        const QQuickItem* row = item("process-0");
        QTRY_VERIFY2(whole(process) &&
                         (process->property("lineCount").toInt() == 1 || size.width() < 1280) &&
                         row->x() + row->width() <= row->parentItem()->width() + 0.5,
                     qPrintable(describe(process)));
        QTRY_VERIFY2(whole(item("runningName")) && text("runningName").startsWith("Notice"),
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
