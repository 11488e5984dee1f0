#include "Backend.h"
#include "ScreenFixture.h"
#include "TestRegistry.h"
#include "config/ConfigKeys.h"

#include <QColor>
#include <QImage>
#include <QQuickItem>
#include <QQuickView>
#include <QTest>

#include <sys/stat.h>

namespace {

// The pictures' colours, apart from every colour of the screen's own.
const QColor LogoColor(200, 30, 60);
const QColor BackdropColor(30, 90, 60);

bool near(QColor shown, QColor expected)
{
    return qAbs(shown.red() - expected.red()) <= 8 && qAbs(shown.green() - expected.green()) <= 8 &&
           qAbs(shown.blue() - expected.blue()) <= 8;
}

} // namespace

// The owner's brand from launcher.ini on the kiosk screen, offscreen on its
// real QML at 1280x720: each where a visitor sees it, read from the picture
// of the window; what does not read leaves the screen's own look, with one
// warning.
class TestBrand : public ScreenFixture
{
    Q_OBJECT

private slots:
    // Pictures for the settings to name, and a FIFO named as one.
    void init()
    {
        ScreenFixture::init();
        QImage logo(120, 60, QImage::Format_RGB32);
        logo.fill(LogoColor);
        QImage backdrop(64, 48, QImage::Format_RGB32);
        backdrop.fill(BackdropColor);
        QVERIFY(QDir().mkpath(m_folders->user() + "/pictures") &&
                logo.save(m_folders->user() + "/pictures/logo.png") &&
                backdrop.save(m_folders->root() + "/backdrop.jpg"));
        QCOMPARE(::mkfifo(qPrintable(m_folders->user() + "/pictures/fifo.png"), 0644), 0);
    }

    void screen_data()
    {
        QTest::addColumn<QString>("ui"); // BACKDROP: the backdrop's whole path
        QTest::addColumn<QColor>("accent");
        QTest::addColumn<QColor>("background"); // at the lower left corner
        QTest::addColumn<bool>("logo");
        QTest::addColumn<QString>("title");
        QTest::addColumn<double>("scale");
        QTest::addColumn<QString>("warning"); // the one warning, naming the key and value

        const QColor accent("#3d8bfd");
        const QColor background("#0f1419");
        QTest::newRow("defaults") << "" << accent << background << false << "Applications" << 1.0
                                  << "";
        QTest::newRow("branded") << "accent-color=Dark Orange\nbackground-color=#F4EFE6\n"
                                    "logo=pictures/logo.png\ntitle=Museum of Clocks\n"
                                    "text-scale=1.5"
                                 << QColor("darkorange") << QColor("#f4efe6") << true
                                 << "Museum of Clocks" << 1.5 << "";
        QTest::newRow("background picture, absolute")
            << "background-color=darkslategray\nbackground-image=BACKDROP" << accent
            << BackdropColor << false << "Applications" << 1.0 << "";
        QTest::newRow("a colour that is none")
            << "accent-color=#3d8bf" << accent << background << false << "Applications" << 1.0
            << "[ui] accent-color: '#3d8bf' is not a colour";
        QTest::newRow("a picture that is no picture")
            << "logo=launcher.ini" << accent << background << false << "Applications" << 1.0
            << "[ui] logo: 'launcher.ini' is no PNG";
        // Never opened: its read would never end.
        QTest::newRow("a FIFO for a picture")
            << "background-image=pictures/fifo.png" << accent << background << false
            << "Applications" << 1.0 << "[ui] background-image: 'pictures/fifo.png' is no regular";
        QTest::newRow("a decimal comma")
            << "text-scale=1,5" << accent << background << false << "Applications" << 1.0
            << "[ui] text-scale: '1,5' is no factor";
    }

    // Each key where it belongs: the accent on the focus ring, the background
    // colour or picture behind the tiles, the logo before the title, all
    // text grown by the scale (the same screen, reloaded without the keys,
    // shows the sizes it scales). The branded screen is docs/screenshots/brand.png
    // with LAUNCHER_SCREENSHOTS=DIR.
    void screen()
    {
        QFETCH(QString, ui);
        QFETCH(QColor, accent);
        QFETCH(QColor, background);
        QFETCH(bool, logo);
        QFETCH(QString, title);
        QFETCH(double, scale);
        QFETCH(QString, warning);
        writeSettings(ui.replace("BACKDROP", m_folders->root() + "/backdrop.jpg"));
        MessageCapture messages;
        QVERIFY(openScreen(QSize(1280, 720)));
        QTRY_VERIFY(shown("focusRing"));
        const QImage picture = grab();
        QCOMPARE(picture.size(), QSize(1280, 720));

        // A ring is at least 3 pixels wide.
        const QQuickItem* ringItem = shown("focusRing");
        const QColor ring = picture.pixelColor(
            ringItem->mapToScene(QPointF(1.5, ringItem->height() / 2)).toPoint());
        QVERIFY2(near(ring, accent), qPrintable(ring.name()));
        QVERIFY2(near(picture.pixelColor(1, 718), background),
                 qPrintable(picture.pixelColor(1, 718).name()));
        const QQuickItem* titleItem = shown("tilesTitle");
        QCOMPARE(titleItem->property("text").toString(), title);
        // Text on the background reads: dark on a light one.
        QVERIFY(qAbs(titleItem->property("color").value<QColor>().lightnessF() -
                     picture.pixelColor(1, 718).lightnessF()) > 0.5);
        const QQuickItem* logoItem = shown("logo");
        QCOMPARE(bool(logoItem), logo);
        if (logo) {
            // Before the title, on its line, and the picture it names.
            const QRectF box = logoItem->mapRectToScene(logoItem->boundingRect());
            const QRectF titleBox = titleItem->mapRectToScene(titleItem->boundingRect());
            QVERIFY(box.right() < titleBox.left() && box.height() > titleBox.height() / 2 &&
                    box.top() < titleBox.center().y() && box.bottom() > titleBox.center().y());
            QVERIFY(near(picture.pixelColor(box.center().toPoint()), LogoColor));
        }
        const QStringList warnings = messages.texts(QtWarningMsg).filter("[ui]");
        QCOMPARE(warnings.size(), warning.isEmpty() ? 0 : 1);
        QVERIFY2(warning.isEmpty() || warnings.first().contains(warning),
                 qPrintable(warnings.join('\n')));
        int linted = 0;
        for (const ConfigProblem& problem : m_screen->backend()->configProblems())
            linted += problem.file == m_screen->backend()->settingsFilePath();
        QCOMPARE(linted, warnings.size());

        const QString folder = qEnvironmentVariable("LAUNCHER_SCREENSHOTS");
        if (!folder.isEmpty() && QTest::currentDataTag() == QLatin1String("branded"))
            QVERIFY(picture.save(folder + "/brand.png"));

        // Every text, the tiles' names too, as it is without the keys, scaled.
        const auto sizes = [this] {
            return std::make_pair(shown("tilesTitle")->property("font").value<QFont>().pixelSize(),
                                  shown("tileName")->property("font").value<QFont>().pixelSize());
        };
        const auto scaled = sizes();
        writeSettings(QString());
        m_screen->backend()->reload();
        QTRY_COMPARE(shown("tilesTitle")->property("text").toString(), QString("Applications"));
        const auto plain = sizes();
        QVERIFY(qAbs(scaled.first - plain.first * scale) <= 1);
        QVERIFY(qAbs(scaled.second - plain.second * scale) <= 1);
    }

    // The colours that the settings take are the colours that the screen
    // shows: every name, and the forms of the digits; what it does not show,
    // a problem.
    void colours_data()
    {
        QTest::addColumn<QString>("text");
        for (const QString& name : QColor::colorNames())
            QTest::newRow(qPrintable(name)) << name;
        for (const char* text : {"#ABC", "#80aabbcc", "Dark Orange", "#abcde", "blu"})
            QTest::newRow(text) << text;
    }

    void colours()
    {
        QFETCH(QString, text);
        const ConfigKeys::Color color = ConfigKeys::color(text);
        QCOMPARE(color.problem.isEmpty(), QColor::isValidColor(text));
        QCOMPARE(QColor(color.value), QColor(text));
    }
};

LAUNCHER_TEST(TestBrand)
#include "TestBrand.moc"
