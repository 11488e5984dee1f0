#include "TestLauncherScreen.h"

#include "Backend.h"
#include "LauncherScreen.h"
#include "TestFixtures.h"

#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QQuickItem>
#include <QQuickItemGrabResult>
#include <QQuickView>
#include <QRect>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>

namespace {

const QString Examples = QStringLiteral(LAUNCHER_EXAMPLES_DIR);

// Runs until it is asked to terminate.
const QString LongScript =
    QStringLiteral("trap 'echo stopping; exit 0' TERM; echo ready; while :; do sleep 0.2; done");
// Ends at once with exit code 3, after two lines of output.
const QString FailingScript =
    QStringLiteral("echo checking the sensor; echo no sensor on the bus; exit 3");
const QString NormalScript = QStringLiteral("echo showing the board; sleep 0.3; echo done");

QQuickItem* findItem(QQuickItem* parent, const QString& objectName)
{
    if (!parent)
        return nullptr;
    if (parent->objectName() == objectName)
        return parent;
    const QList<QQuickItem*> children = parent->childItems();
    for (QQuickItem* child : children) {
        if (QQuickItem* found = findItem(child, objectName))
            return found;
    }
    return nullptr;
}

} // namespace

TestLauncherScreen::TestLauncherScreen()
    : m_marker(QStringLiteral("launcher-ui-test-%1").arg(QCoreApplication::applicationPid()))
{
}

TestLauncherScreen::~TestLauncherScreen() = default;

// Fresh data folders per test: the bundled examples, and launcher.ini
// without a countdown.
void TestLauncherScreen::init()
{
    m_folders = std::make_unique<DataFolders>();
    const QString apps = m_folders->user() + QStringLiteral("/apps");
    QVERIFY(QDir().mkpath(apps));
    for (const QString& name : QDir(Examples + QStringLiteral("/apps")).entryList({"*.ini"}))
        QVERIFY(QFile::copy(Examples + QStringLiteral("/apps/") + name, apps + '/' + name));
    writeSettings(QString());
}

void TestLauncherScreen::cleanup()
{
    m_screen.reset();
    m_folders.reset();
    QTRY_VERIFY2(markedProcesses(m_marker).isEmpty(), "a child of the screen outlived it");
}

void TestLauncherScreen::cleanupTestCase()
{
    for (qint64 pid : markedProcesses(m_marker))
        ::kill(pid_t(pid), SIGKILL);
}

void TestLauncherScreen::writeSettings(const QString& ui, const QString& autostart)
{
    const QString text = QStringLiteral("[ui]\nallow-exit=true\nshow-version=true\n%1\n"
                                        "[autostart]\n%2\n")
                             .arg(ui, autostart);
    QVERIFY(writeFile(m_folders->user() + QStringLiteral("/launcher.ini"), text.toUtf8()));
}

void TestLauncherScreen::writeShellApp(const QString& basename, const QString& name,
                                       const QString& script, const QString& processKeys,
                                       const QString& icon)
{
    const QString text = QStringLiteral("[ui]\nname=%1\nicon=%2\n"
                                        "[process-0]\nexec=/bin/sh\n"
                                        "arguments=-c, \"%3\", %4\n"
                                        "mode=sync\nrequired=true\n"
                                        "library-paths=/usr/bin, /bin\n%5\n")
                             .arg(name, icon, script, m_marker, processKeys);
    QVERIFY(
        writeFile(m_folders->user() + QStringLiteral("/apps/%1.ini").arg(basename), text.toUtf8()));
}

LauncherScreen* TestLauncherScreen::openScreen()
{
    m_screen = std::make_unique<LauncherScreen>();
    if (!m_screen->load())
        return nullptr;
    m_screen->show();
    if (!QTest::qWaitForWindowExposed(m_screen->view()) ||
        !QTest::qWaitForWindowActive(m_screen->view()))
        return nullptr;
    return m_screen.get();
}

QQuickItem* TestLauncherScreen::item(const QString& objectName) const
{
    return m_screen ? findItem(m_screen->view()->rootObject(), objectName) : nullptr;
}

QString TestLauncherScreen::text(const QString& objectName) const
{
    const QQuickItem* found = item(objectName);
    return found ? found->property("text").toString() : QString();
}

bool TestLauncherScreen::isShown(const QString& objectName) const
{
    const QQuickItem* found = item(objectName);
    return found && found->isVisible();
}

void TestLauncherScreen::click(const QString& objectName)
{
    QQuickItem* target = item(objectName);
    QVERIFY2(target && target->isVisible(), qPrintable(objectName));
    const QPointF centre = target->mapToScene(QPointF(target->width() / 2, target->height() / 2));
    QTest::mouseClick(m_screen->view(), Qt::LeftButton, Qt::NoModifier, centre.toPoint());
}

void TestLauncherScreen::stopAndWait()
{
    Backend* backend = m_screen->backend();
    backend->stopApplication();
    QTRY_VERIFY(backend->runningApplication().isEmpty());
}

void TestLauncherScreen::tiles_data()
{
    QTest::addColumn<bool>("showInvalid");
    QTest::addColumn<bool>("showVersion");
    QTest::newRow("valid ones, version") << false << true;
    QTest::newRow("greyed invalid ones, no version") << true << false;
}

// Every application has a tile with its name, except the invalid ones that
// the settings hide; those shown say why they cannot start.
void TestLauncherScreen::tiles()
{
    QFETCH(bool, showInvalid);
    QFETCH(bool, showVersion);
    writeShellApp(QStringLiteral("board"), QStringLiteral("Notice board"), NormalScript);
    writeShellApp(QStringLiteral("nameless"), QString(), NormalScript);
    writeSettings(QStringLiteral("show-invalid-tiles=%1\nshow-version=%2")
                      .arg(showInvalid ? "true" : "false", showVersion ? "true" : "false"));
    QVERIFY(openScreen());

    const ApplicationModel* applications = m_screen->backend()->applications();
    QCOMPARE(applications->count(), 4);
    int shown = 0;
    for (int row = 0; row < applications->count(); ++row) {
        const QVariantMap application = applications->get(row);
        const QString basename = application.value("basename").toString();
        const bool valid = application.value("valid").toBool();
        QQuickItem* tile = item(QStringLiteral("tile-") + basename);
        if (!valid && !showInvalid) {
            QVERIFY2(!tile, qPrintable(basename));
            continue;
        }
        ++shown;
        QVERIFY2(tile && tile->isVisible(), qPrintable(basename));
        const QString name = application.value("name").toString();
        QCOMPARE(findItem(tile, "tileName")->property("text").toString(),
                 name.isEmpty() ? basename : name);
        QQuickItem* problems = findItem(tile, "tileProblems");
        QCOMPARE(problems->isVisible(), !valid);
        if (!valid) {
            QCOMPARE(tile->property("valid").toBool(), false);
            QVERIFY(!problems->property("text").toString().isEmpty());
        }
    }
    QCOMPARE(shown, showInvalid ? 4 : 3);
    QCOMPARE(item("tileGrid")->property("count").toInt(), shown);
    QCOMPARE(isShown("version"), showVersion);
    if (showVersion)
        QVERIFY(text("version").contains(m_screen->backend()->version()));
    QVERIFY(!isShown("countdown"));

    // A tap on one that cannot start tells why.
    if (showInvalid) {
        click(QStringLiteral("tile-broken"));
        QTRY_VERIFY(isShown("failureView"));
        QVERIFY(text("failureTitle").contains(QStringLiteral("Broken example cannot start")));
        const QStringList problems =
            applications->get(applications->indexOf("broken")).value("problems").toStringList();
        QVERIFY(!problems.isEmpty());
        for (const QString& problem : problems)
            QVERIFY2(text("failureProblems").contains(problem), qPrintable(problem));
        QVERIFY(!isShown("restartButton"));
        QCOMPARE(m_screen->backend()->runningApplication(), QString());
    }
}

void TestLauncherScreen::icons_data()
{
    QTest::addColumn<QString>("icon");
    QTest::addColumn<bool>("image");
    QTest::newRow("absolute path") << "ABSOLUTE" << true;
    QTest::newRow("beside the pipeline file") << "pictures/board.png" << true;
    QTest::newRow("missing file") << "pictures/missing.png" << false;
    QTest::newRow("not an image") << "board.ini" << false;
    QTest::newRow("a theme's icon name") << "media-playback-start" << false;
    QTest::newRow("none") << "" << false;
}

// An icon that loads shows as an image; anything else as the initial of the
// name on a coloured square.
void TestLauncherScreen::icons()
{
    QFETCH(QString, icon);
    QFETCH(bool, image);
    const QString apps = m_folders->user() + QStringLiteral("/apps");
    QImage picture(64, 64, QImage::Format_RGB32);
    picture.fill(Qt::darkCyan);
    QVERIFY(QDir().mkpath(apps + QStringLiteral("/pictures")));
    QVERIFY(picture.save(apps + QStringLiteral("/pictures/board.png")));
    if (icon == QLatin1String("ABSOLUTE"))
        icon = apps + QStringLiteral("/pictures/board.png");
    writeShellApp(QStringLiteral("board"), QStringLiteral("notice board"), NormalScript, QString(),
                  icon);
    QVERIFY(openScreen());

    QQuickItem* tile = item(QStringLiteral("tile-board"));
    QVERIFY(tile);
    QQuickItem* placeholder = findItem(tile, "iconPlaceholder");
    QCOMPARE(findItem(tile, "iconImage")->isVisible(), image);
    QCOMPARE(placeholder->isVisible(), !image);
}

void TestLauncherScreen::countdown_data()
{
    QTest::addColumn<bool>("byKey");
    QTest::newRow("cancel control") << false;
    QTest::newRow("escape") << true;
}

// The countdown shows the backend's seconds as they go down, and both ways
// of cancelling it leave the tiles with nothing started.
void TestLauncherScreen::countdown()
{
    QFETCH(bool, byKey);
    writeShellApp(QStringLiteral("board"), QStringLiteral("Notice board"), LongScript);
    writeSettings(QString(), QStringLiteral("tile=board\ntimeout=4"));
    QVERIFY(openScreen());
    Backend* backend = m_screen->backend();

    QVERIFY(backend->autostartActive());
    QTRY_VERIFY(isShown("countdown"));
    QVERIFY(text("countdownText").contains(QStringLiteral("Notice board")));
    QCOMPARE(text("countdownSeconds").toInt(), backend->autostartSeconds());
    const int first = backend->autostartSeconds();
    QTRY_VERIFY(backend->autostartSeconds() < first);
    QCOMPARE(text("countdownSeconds").toInt(), backend->autostartSeconds());
    QVERIFY(text("countdownText").contains(QString::number(backend->autostartSeconds())));

    if (byKey)
        QTest::keyClick(m_screen->view(), Qt::Key_Escape);
    else
        click(QStringLiteral("countdownCancel"));
    QTRY_VERIFY(!isShown("countdown"));
    QCOMPARE(backend->autostartActive(), false);
    QCOMPARE(backend->autostartSeconds(), -1);
    QTest::qWait(first * 1000 - 1000);
    QCOMPARE(backend->runningApplication(), QString());
    QVERIFY(isShown("tilesView"));
}

void TestLauncherScreen::startAndStop_data()
{
    QTest::addColumn<int>("key"); // 0: a tap
    QTest::addColumn<bool>("allowExit");
    QTest::newRow("tap") << 0 << true;
    QTest::newRow("enter") << int(Qt::Key_Return) << true;
    QTest::newRow("space") << int(Qt::Key_Space) << true;
    QTest::newRow("no user exit") << 0 << false;
}

// A tile starts its application; the running view follows its processes, and
// a stop leads back to the tiles, read anew.
void TestLauncherScreen::startAndStop()
{
    QFETCH(int, key);
    QFETCH(bool, allowExit);
    writeShellApp(QStringLiteral("board"), QStringLiteral("Notice board"), LongScript);
    writeShellApp(QStringLiteral("clock"), QStringLiteral("Clock"), LongScript);
    writeSettings(QStringLiteral("allow-exit=%1").arg(allowExit ? "true" : "false"));
    QVERIFY(openScreen());
    Backend* backend = m_screen->backend();

    if (key) {
        // To the tile with the keyboard, then start it.
        QQuickItem* grid = item("tileGrid");
        const auto current = [grid] {
            const QQuickItem* tile = grid->property("currentItem").value<QQuickItem*>();
            return tile ? tile->property("basename").toString() : QString();
        };
        for (int i = 0; i < 8 && current() != QLatin1String("clock"); ++i)
            QTest::keyClick(m_screen->view(), i % 2 ? Qt::Key_Tab : Qt::Key_Right);
        QCOMPARE(current(), QStringLiteral("clock"));
        QTest::keyClick(m_screen->view(), Qt::Key(key));
    } else {
        click(QStringLiteral("tile-clock"));
    }

    QTRY_COMPARE(backend->runningApplication(), QStringLiteral("clock"));
    QTRY_VERIFY(isShown("runningView"));
    QVERIFY(!isShown("tilesView"));
    QCOMPARE(text("runningName"), QStringLiteral("Clock"));
    QTRY_VERIFY(item("process-0"));
    QTRY_COMPARE(item("process-0")->property("processState").toString(), QStringLiteral("running"));
    QVERIFY(!markedProcesses(m_marker).isEmpty());
    QCOMPARE(isShown("stopButton"), allowExit);
    // Added while the other one ran: a tile once the tiles are back.
    writeShellApp(QStringLiteral("late"), QStringLiteral("Late arrival"), NormalScript);

    if (allowExit)
        click(QStringLiteral("stopButton"));
    else
        backend->stopApplication();
    QTRY_VERIFY(isShown("tilesView"));
    QVERIFY(!isShown("failureView"));
    QCOMPARE(backend->lastResultMap().value("outcome").toString(), QStringLiteral("stopped"));
    QTRY_VERIFY(isShown("tile-late"));
    QTRY_VERIFY(markedProcesses(m_marker).isEmpty());
}

// The status follows a process as it is restarted.
void TestLauncherScreen::restarts()
{
    writeShellApp(QStringLiteral("flaky"), QStringLiteral("Flaky"),
                  QStringLiteral("sleep 0.2; exit 5"),
                  QStringLiteral("restart-on-exit=5\nrestart-limit=100"));
    QVERIFY(openScreen());
    QVERIFY(m_screen->backend()->startApplication(QStringLiteral("flaky")));
    QTRY_VERIFY(item("process-0"));
    QTRY_VERIFY(item("process-0")->property("processRestarts").toInt() >= 2);
    QVERIFY2(findItem(item("process-0"), "processState")
                 ->property("text")
                 .toString()
                 .contains(QStringLiteral("restarted")),
             qPrintable(findItem(item("process-0"), "processState")->property("text").toString()));
}

void TestLauncherScreen::endings_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<QString>("action"); // on the failure screen: a button, or a key
    QTest::newRow("normal end") << NormalScript << "";
    QTest::newRow("failure, start again") << FailingScript << "restartButton";
    QTest::newRow("failure, Return starts again") << FailingScript << "Return";
    QTest::newRow("failure, back") << FailingScript << "backButton";
    QTest::newRow("failure, Escape") << FailingScript << "Escape";
}

// A normal end leads back to the tiles; a failure to a screen that says
// which application failed, why, and what its log said last. From there the
// application starts again (and fails again), or the tiles come back.
void TestLauncherScreen::endings()
{
    QFETCH(QString, script);
    QFETCH(QString, action);
    writeShellApp(QStringLiteral("sensor"), QStringLiteral("Sensor check"), script);
    QVERIFY(openScreen());
    Backend* backend = m_screen->backend();
    QSignalSpy starts(backend, &Backend::pipelineStarted);

    QVERIFY(backend->startApplication(QStringLiteral("sensor")));
    QTRY_VERIFY(!backend->lastResultMap().isEmpty());
    QTRY_VERIFY(backend->runningApplication().isEmpty());
    const bool failed = script == FailingScript;
    QTRY_COMPARE(isShown("failureView"), failed);
    QCOMPARE(isShown("tilesView"), !failed);
    if (!failed)
        return;

    const QString reason = backend->lastResultMap().value("failureReason").toString();
    QVERIFY(!reason.isEmpty());
    QVERIFY(text("failureTitle").contains(QStringLiteral("Sensor check")));
    QVERIFY2(text("failureReason").contains(reason, Qt::CaseInsensitive),
             qPrintable(text("failureReason")));
    QVERIFY2(text("failureDetail").contains(QStringLiteral("code 3")),
             qPrintable(text("failureDetail")));
    QVERIFY2(text("failureLog").contains(QStringLiteral("no sensor on the bus")),
             qPrintable(text("failureLog")));

    if (action.endsWith(QLatin1String("Button")))
        click(action);
    else
        QTest::keyClick(m_screen->view(), action == "Return" ? Qt::Key_Return : Qt::Key_Escape);
    if (action == QLatin1String("restartButton") || action == QLatin1String("Return")) {
        QTRY_COMPARE(starts.count(), 2);
        QTRY_VERIFY(backend->runningApplication().isEmpty());
        QTRY_VERIFY(isShown("failureView"));
    } else {
        QTRY_VERIFY(isShown("tilesView"));
        QVERIFY(!isShown("failureView"));
        QCOMPARE(starts.count(), 1);
    }
}

void TestLauncherScreen::quitSignals_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
    QTest::newRow("SIGHUP") << int(SIGHUP);
}

// The program, asked to quit while its application runs, stops it before it
// ends itself: nothing of the application outlives the screen.
void TestLauncherScreen::quitSignals()
{
    QFETCH(int, signal);
    writeShellApp(QStringLiteral("board"), QStringLiteral("Notice board"), LongScript);
    writeSettings(QString(), QStringLiteral("tile=board\ntimeout=1"));
    QProcess program;
    program.setProgram(QStringLiteral(LAUNCHER_UI_PROGRAM));
    program.start();
    QVERIFY(program.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(!markedProcesses(m_marker).isEmpty(), 10000);

    ::kill(pid_t(program.processId()), signal);
    QVERIFY(program.waitForFinished(10000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
    QCOMPARE(markedProcesses(m_marker), QList<qint64>());
}

void TestLauncherScreen::placement_data()
{
    QTest::addColumn<QString>("location");
    QTest::addColumn<QString>("width");
    QTest::addColumn<QString>("warning");
    QTest::addColumn<QRect>("expected");
    QTest::newRow("pixels") << "10px 0px"
                            << "300px"
                            << "" << QRect(10, 0, 300, 600);
    QTest::newRow("shares") << "100% 50%"
                            << "50%"
                            << "" << QRect(400, 0, 400, 600);
    QTest::newRow("bad width") << "0px 0px"
                               << "wide"
                               << "ui/width \"wide\" is not a width such as 1000px or 80%; "
                                  "using 1000px"
                               << QRect(0, 0, 800, 600);
    QTest::newRow("bad location") << "middle"
                                  << "40%"
                                  << "ui/location \"middle\" is not a location such as "
                                     "\"50% 50%\" or \"0px 0px\"; using 50% 50%"
                                  << QRect(240, 0, 320, 600);
}

// The window goes where ui/location and ui/width put it on its screen (the
// offscreen platform's, 800x600); what does not read is warned about.
void TestLauncherScreen::placement()
{
    QFETCH(QString, location);
    QFETCH(QString, width);
    QFETCH(QString, warning);
    QFETCH(QRect, expected);
    writeSettings(QStringLiteral("location=%1\nwidth=%2").arg(location, width));
    if (!warning.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, qPrintable(warning));
    QVERIFY(openScreen());

    QCOMPARE(m_screen->view()->screen()->availableGeometry(), QRect(0, 0, 800, 600));
    QCOMPARE(m_screen->view()->geometry(), expected);
}

// With LAUNCHER_SCREENSHOTS=DIR: the screen at 1280x720 in its four states,
// as DIR/{countdown,tiles,running,failure}.png, each checked for what it shows.
void TestLauncherScreen::screenshots()
{
    const QString folder = qEnvironmentVariable("LAUNCHER_SCREENSHOTS");
    if (folder.isEmpty())
        QSKIP("LAUNCHER_SCREENSHOTS names no folder");
    QVERIFY(QDir().mkpath(folder));

    // Programs with the names a kiosk would have, all of them the shell.
    const QString bin = m_folders->root() + QStringLiteral("/bin");
    QVERIFY(QDir().mkpath(bin));
    for (const char* program : {"sound-server", "playlist-sync", "slideshow"})
        QVERIFY(QFile::link(QStringLiteral("/bin/sh"), bin + '/' + program));
    const QString process = QStringLiteral("[process-%1]\nexec=%2/%3\narguments=-c, \"%4\", %5\n"
                                           "mode=%6\nlibrary-paths=/usr/bin, /bin\n");
    const QString gallery =
        QStringLiteral("[ui]\nname=Photo gallery\n") +
        process.arg("0", bin, "sound-server", LongScript, m_marker, "daemon") +
        process.arg("1", bin, "playlist-sync", "sleep 0.2; echo synced", m_marker, "async") +
        process.arg("2", bin, "slideshow", LongScript, m_marker, "sync") + "required=true\n";
    QVERIFY(writeFile(m_folders->user() + QStringLiteral("/apps/gallery.ini"), gallery.toUtf8()));
    writeShellApp(QStringLiteral("sensor"), QStringLiteral("Sensor check"), FailingScript);
    writeShellApp(QStringLiteral("board"), QStringLiteral("Notice board"), LongScript);
    writeShellApp(QStringLiteral("guide"), QStringLiteral("Visitor guide"), LongScript);
    writeSettings(QString(), QStringLiteral("tile=gallery\ntimeout=30"));
    QVERIFY(openScreen());
    QQuickView* view = m_screen->view();
    Backend* backend = m_screen->backend();
    view->setGeometry(0, 0, 1280, 720);
    QTRY_COMPARE(view->rootObject()->size(), QSizeF(1280, 720));

    // The root item fills the window: its picture is the window's. (The
    // offscreen platform's windows have no picture of their own to grab.)
    const auto save = [&](const char* name) {
        const QSharedPointer<QQuickItemGrabResult> grab = view->rootObject()->grabToImage();
        QSignalSpy ready(grab.data(), &QQuickItemGrabResult::ready);
        const QString path = folder + '/' + name + QStringLiteral(".png");
        if (!ready.wait(5000) || grab->image().size() != QSize(1280, 720) ||
            !grab->image().save(path))
            return false;
        qInfo("%s: %lld bytes", qPrintable(path), QFileInfo(path).size());
        return QFileInfo(path).size() < 150 * 1024;
    };

    QTRY_VERIFY(isShown("countdown"));
    QVERIFY(text("countdownText").contains(QStringLiteral("Photo gallery")));
    QCOMPARE(text("countdownSeconds").toInt(), backend->autostartSeconds());
    QVERIFY(save("countdown"));
    QCOMPARE(text("countdownSeconds").toInt(), backend->autostartSeconds());

    click(QStringLiteral("countdownCancel"));
    QTRY_VERIFY(!isShown("countdown"));
    const QList<QPair<QString, QString>> tiles{{"board", "Notice board"},
                                               {"demo", "Demo player"},
                                               {"gallery", "Photo gallery"},
                                               {"guide", "Visitor guide"},
                                               {"sensor", "Sensor check"}};
    for (const auto& [basename, name] : tiles) {
        QQuickItem* tile = item(QStringLiteral("tile-") + basename);
        QVERIFY2(tile && tile->isVisible(), qPrintable(basename));
        QCOMPARE(findItem(tile, "tileName")->property("text").toString(), name);
    }
    QVERIFY(!item(QStringLiteral("tile-broken")));
    QVERIFY(save("tiles"));

    click(QStringLiteral("tile-gallery"));
    QTRY_VERIFY(isShown("runningView"));
    QTRY_VERIFY(item("process-2"));
    QTRY_COMPARE(item("process-2")->property("processState").toString(), QStringLiteral("running"));
    QTRY_COMPARE(item("process-1")->property("processState").toString(),
                 QStringLiteral("finished"));
    QCOMPARE(text("runningName"), QStringLiteral("Photo gallery"));
    QVERIFY(save("running"));
    stopAndWait();

    QTRY_VERIFY(isShown("tilesView"));
    click(QStringLiteral("tile-sensor"));
    QTRY_VERIFY(isShown("failureView"));
    QTRY_VERIFY(text("failureLog").contains(QStringLiteral("no sensor on the bus")));
    QVERIFY(text("failureDetail").contains(QStringLiteral("code 3")));
    QVERIFY(save("failure"));
}
