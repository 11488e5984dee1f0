#include "TestWindowPlacement.h"

#include "WindowPlacement.h"

#include <QRect>
#include <QTest>

void TestWindowPlacement::geometry_data()
{
    QTest::addColumn<QString>("location");
    QTest::addColumn<QString>("width");
    QTest::addColumn<QRect>("available");
    QTest::addColumn<QRect>("expected");
    QTest::addColumn<QStringList>("warnings");

    const QRect hd(0, 0, 1920, 1080);
    // A second screen to the right, with a panel of 40 px on top.
    const QRect right(1920, 40, 1280, 680);
    const QStringList none;

    // Shares place the centre, pixels the top-left corner; the height is the screen's.
    QTest::newRow("defaults") << "50% 50%"
                              << "1000px" << hd << QRect(460, 0, 1000, 1080) << none;
    QTest::newRow("share of the width") << "25% 50%"
                                        << "40%" << hd << QRect(96, 0, 768, 1080) << none;
    QTest::newRow("decimals") << "50% 50%"
                              << "12.5%" << hd << QRect(840, 0, 240, 1080) << none;
    QTest::newRow("pixel offset") << "10px 20px"
                                  << "800 px" << hd << QRect(10, 0, 800, 1080) << none;
    QTest::newRow("bare numbers, comma") << "30, 0"
                                         << "640" << hd << QRect(30, 0, 640, 1080) << none;
    QTest::newRow("spaces and case") << " 50 %   50 % "
                                     << " 1000 PX " << hd << QRect(460, 0, 1000, 1080) << none;
    QTest::newRow("offset screen") << "50% 50%"
                                   << "1000px" << right << QRect(2060, 40, 1000, 680) << none;
    QTest::newRow("offset screen, pixels") << "100px 0px"
                                           << "50%" << right << QRect(2020, 40, 640, 680) << none;

    // The window stays on the screen.
    QTest::newRow("centre on the left edge") << "0% 50%"
                                             << "1000px" << hd << QRect(0, 0, 1000, 1080) << none;
    QTest::newRow("centre on the right edge") << "100% 50%"
                                              << "50%" << hd << QRect(960, 0, 960, 1080) << none;
    QTest::newRow("offset beyond the edge") << "1900px 0px"
                                            << "1000px" << hd << QRect(920, 0, 1000, 1080) << none;
    QTest::newRow("wider than the screen") << "50% 50%"
                                           << "3000px" << hd << QRect(0, 0, 1920, 1080) << none;
    QTest::newRow("more than all of it") << "50% 50%"
                                         << "150%" << right << QRect(1920, 40, 1280, 680) << none;

    // What does not read falls back to its default, each key on its own.
    const QString badWidth =
        QStringLiteral("ui/width \"%1\" is not a width such as 1000px or 80%; using 1000px");
    const QString badLocation = QStringLiteral(
        "ui/location \"%1\" is not a location such as \"50% 50%\" or \"0px 0px\"; using 50% 50%");
    QTest::newRow("width a word") << "10px 0px"
                                  << "wide" << hd << QRect(10, 0, 1000, 1080)
                                  << QStringList{badWidth.arg("wide")};
    QTest::newRow("width zero") << "50% 50%"
                                << "0px" << hd << QRect(460, 0, 1000, 1080)
                                << QStringList{badWidth.arg("0px")};
    QTest::newRow("width negative")
        << "50% 50%"
        << "-20%" << hd << QRect(460, 0, 1000, 1080) << QStringList{badWidth.arg("-20%")};
    QTest::newRow("width empty") << "50% 50%"
                                 << "" << hd << QRect(460, 0, 1000, 1080)
                                 << QStringList{badWidth.arg("")};
    QTest::newRow("width unknown unit")
        << "50% 50%"
        << "10em" << hd << QRect(460, 0, 1000, 1080) << QStringList{badWidth.arg("10em")};
    QTest::newRow("location a word")
        << "center"
        << "50%" << hd << QRect(480, 0, 960, 1080) << QStringList{badLocation.arg("center")};
    QTest::newRow("location one value")
        << "20%"
        << "50%" << hd << QRect(480, 0, 960, 1080) << QStringList{badLocation.arg("20%")};
    QTest::newRow("location three values")
        << "1px 2px 3px"
        << "50%" << hd << QRect(480, 0, 960, 1080) << QStringList{badLocation.arg("1px 2px 3px")};
    QTest::newRow("both bad") << "left top"
                              << "big" << hd << QRect(460, 0, 1000, 1080)
                              << QStringList{badWidth.arg("big"), badLocation.arg("left top")};
}

void TestWindowPlacement::geometry()
{
    QFETCH(QString, location);
    QFETCH(QString, width);
    QFETCH(QRect, available);
    QFETCH(QRect, expected);
    QFETCH(QStringList, warnings);

    for (const QString& warning : warnings)
        QTest::ignoreMessage(QtWarningMsg, qPrintable(warning));
    const WindowPlacement placement(location, width);
    QCOMPARE(placement.geometry(available), expected);
    QCOMPARE(placement.widthAccepted() && placement.locationAccepted(), warnings.isEmpty());
}
