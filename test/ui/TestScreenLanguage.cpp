#include "Backend.h"
#include "ScreenFixture.h"
#include "TestRegistry.h"

#include <QLocale>
#include <QQuickItem>
#include <QQuickView>
#include <QRegularExpression>
#include <QTest>

namespace {

const QString FailingScript = "echo no sensor on the bus; exit 3";

// Items that show the applications' own words (names and their initials, the
// checker's findings, their log lines), which no translation changes.
const QStringList DataItems = {"tileName",    "tileIcon",    "tileProblems",
                               "runningName", "processName", "countdownSeconds"};

// The texts of the visible items below `item` that are the screen's own
// words, each as "VIEW: TEXT".
void collectTexts(QQuickItem* item, const QString& view, QStringList& texts)
{
    if (!item->isVisible() || DataItems.contains(item->objectName()) ||
        item->objectName().startsWith("logLine-"))
        return;
    const QString text =
        item->inherits("QQuickText") ? item->property("text").toString() : QString();
    // A process heading of the checker's ("process-1 (lighttpd)"), or no words at all.
    if (!text.startsWith("process-") && text.contains(QRegularExpression("\\p{L}")))
        texts.append(view + ": " + text);
    const QList<QQuickItem*> children = item->childItems();
    for (QQuickItem* child : children)
        collectTexts(child, view, texts);
}

// The countdown's text, of CountdownBanner; the others are RunningView's.
const char* const Countdown = "Starting %1 in %n s";

// A text of the screen in the language that it loads, with a count where it
// has one: of ui/language, or of the locale where that names none.
const struct
{
    const char* name;
    const char* setting; // ui/language
    const char* locale;  // the environment's
    const char* source;
    int count;
    const char* expected;
} Words[] = {
    {"de, 1 s", "de", "en_US", Countdown, 1, "%1 startet in 1 Sekunde"},
    {"de_AT, 2 s", "de_AT", "en_US", Countdown, 2, "%1 startet in 2 Sekunden"},
    {"fr, 1 s", "fr", "de_DE", Countdown, 1, "%1 démarre dans 1 seconde"},
    {"fr_FR.UTF-8, 2 s", "fr_FR.UTF-8", "de_DE", Countdown, 2, "%1 démarre dans 2 secondes"},
    {"de, restarted 2×", "de", "C", "%1, restarted %n×", 2, "%1, 2 Neustarts"},
    {"fr, restarted 2×", "fr", "C", "%1, restarted %n×", 2, "%1, redémarré 2 fois"},
    {"de, given up after 2 crashes", "de", "C", "%n crashes", 2, "2 Abstürzen"},
    {"fr, given up after 1 hang", "fr", "C", "%n hang", 1, "1 blocage"},
    {"the locale's, fr_CH", "", "fr_CH", Countdown, 2, "%1 démarre dans 2 secondes"},
    {"the locale's, de_DE", "", "de_DE", "%1, restarted %n×", 1, "%1, 1 Neustart"},
    {"English over a German locale", "en", "de_DE", Countdown, 2, "Starting %1 in 2 s"},
    {"no translation: English", "", "sv_SE", Countdown, 2, "Starting %1 in 2 s"},
    {"unknown: the locale's", "Klingon", "fr_FR", Countdown, 1, "%1 démarre dans 1 seconde"},
};

} // namespace

// The screen in the visitor's language: every word of its own translated on
// every view, with the plural forms of the language, in the language of
// ui/language or, without one, of the locale.
class TestScreenLanguage : public ScreenFixture
{
    Q_OBJECT

    // The screen's own words in `language` on each of its views: the
    // countdown over the tiles, the tiles with a greyed one, its cannot-start
    // screen, an application that runs (a daemon and a sync process) and one
    // that failed.
    void showEveryView(const QString& language, QStringList& texts)
    {
        writeShellApp("board", "Notice board", LongScript, true);
        writeShellApp("clock", "Clock", FailingScript, true);
        writeSettings("language=" + language + "\nshow-invalid-tiles=true",
                      "tile=board\ntimeout=60");
        QVERIFY(openScreen());
        QQuickItem* root = m_screen->view()->rootObject();
        QTRY_VERIFY(isShown("countdown"));
        collectTexts(root, "countdown", texts);
        click("countdownCancel");
        QTRY_VERIFY(!isShown("countdown"));
        collectTexts(root, "tiles", texts);
        click("tile-broken");
        QTRY_VERIFY(isShown("failureView"));
        collectTexts(root, "cannot start", texts);
        click("backButton");
        QTRY_VERIFY(isShown("tilesView"));
        click("tile-board");
        QTRY_VERIFY(isShown("runningView") && item("process-1") &&
                    item("process-1")->property("processState") == "running");
        collectTexts(root, "running", texts);
        m_screen->backend()->stopApplication();
        QTRY_VERIFY(isShown("tilesView"));
        click("tile-clock");
        QTRY_VERIFY_WITH_TIMEOUT(isShown("failureView") && isShown("restartButton"), 20000);
        collectTexts(root, "failure", texts);
        m_screen.reset();
    }

private slots:
    void everyView_data()
    {
        QTest::addColumn<QString>("language");
        // The screen's words that the language writes as English does.
        QTest::addColumn<QStringList>("same");
        const QString version = "Version " + Backend::version();
        QTest::newRow("German") << "de" << QStringList{version};
        QTest::newRow("French") << "fr" << QStringList{"Applications", version};
    }

    // Run in English and in the language, each view shows its words in the
    // same places: none of them is still the English one.
    void everyView()
    {
        QFETCH(QString, language);
        QFETCH(QStringList, same);
        QStringList english;
        QStringList translated;
        showEveryView("en", english);
        if (QTest::currentTestFailed())
            return;
        showEveryView(language, translated);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(translated.size(), english.size());
        QStringList untranslated;
        for (int i = 0; i < english.size(); ++i) {
            const QString view = english.at(i).section(": ", 0, 0);
            QCOMPARE(translated.at(i).section(": ", 0, 0), view);
            if (translated.at(i) == english.at(i) &&
                !same.contains(english.at(i).mid(view.size() + 2)))
                untranslated.append(english.at(i));
        }
        QVERIFY2(untranslated.isEmpty(), qPrintable(untranslated.join('\n')));
    }

    void words_data() { addRows(Words); }

    // The words of the language that the screen loads, at 1 and at 2.
    void words()
    {
        const auto& row = currentRow(Words);
        writeSettings("language=" + QString(row.setting));
        QLocale::setDefault(QLocale(row.locale));
        if (row.setting == QLatin1String("Klingon"))
            QTest::ignoreMessage(QtWarningMsg,
                                 QRegularExpression("\\[ui\\] language: 'Klingon' is no language "
                                                    "of the screen \\(.*\\), so it follows the "
                                                    "locale"));
        QVERIFY(openScreen());
        QCOMPARE(
            QCoreApplication::translate(row.source == Countdown ? "CountdownBanner" : "RunningView",
                                        row.source, nullptr, row.count),
            QString(row.expected));
    }
};

LAUNCHER_TEST(TestScreenLanguage)
#include "TestScreenLanguage.moc"
