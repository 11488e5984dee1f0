#include "Backend.h"
#include "DisplayServer.h"
#include "ScreenFixture.h"
#include "TestRegistry.h"

#include <QImage>
#include <QProcess>
#include <QQuickItem>
#include <QQuickView>
#include <QSignalSpy>
#include <QTest>

#include <functional>

#include <sys/stat.h>

namespace {

// Ends at once with exit code 3, after seven lines of output (enough that the
// failure screen's log shows no temporary folder of the test).
const QString FailingScript = "for a in 48 49 4a 4b 4c 4d; do echo no answer at 0x$a; done; "
                              "echo no sensor on the bus; exit 3";
const QString NormalScript = "echo showing the board; sleep 0.3; echo done";

} // namespace

// The kiosk screen with its real QML, on temporary data folders made from
// the bundled examples; every child carries the test's marker.
class TestLauncherScreen : public ScreenFixture
{
    Q_OBJECT

private slots:
    void tiles_data()
    {
        QTest::addColumn<bool>("showInvalid");
        QTest::addColumn<QString>("icon"); // of "board"; PICTURE: the picture's whole path
        QTest::addColumn<bool>("image");   // else the initial on a coloured square
        QTest::newRow("valid ones, version, an icon beside the pipeline file")
            << false << "pictures/board.png" << true;
        QTest::newRow("greyed invalid ones, no version, an icon's whole path")
            << true << "PICTURE" << true;
        QTest::newRow("an icon that is no image") << false << "board.ini" << false;
    }

    // Every application has a tile with its name (its basename if it has none)
    // and its icon (or its initial), except the invalid ones that the settings
    // hide; those shown say why they cannot start. The window goes where
    // ui/location and ui/width put it on its screen (the offscreen platform's,
    // 800x600).
    void tiles()
    {
        QFETCH(bool, showInvalid);
        QFETCH(QString, icon);
        QFETCH(bool, image);
        const QString picture = m_folders->user() + "/apps/pictures/board.png";
        QImage square(64, 64, QImage::Format_RGB32);
        square.fill(Qt::darkCyan);
        QVERIFY(QDir().mkpath(QFileInfo(picture).path()) && square.save(picture));
        writeShellApp("board", "Notice board\nicon=" + icon.replace("PICTURE", picture),
                      NormalScript);
        writeShellApp("nameless", QString(), NormalScript);
        writeSettings("location=100% 50%\nwidth=50%\n" +
                      QString(showInvalid ? "show-invalid-tiles=true\nshow-version=false" : ""));
        QVERIFY(openScreen());
        QCOMPARE(m_screen->view()->geometry(), QRect(400, 0, 400, 600));
        QCOMPARE(text("tileName", item("tile-board")), QString("Notice board"));
        QCOMPARE(text("tileName", item("tile-nameless")), QString("nameless"));
        QCOMPARE(item("iconImage", item("tile-board"))->isVisible(), image);
        QCOMPARE(item("iconPlaceholder", item("tile-board"))->isVisible(), !image);
        QCOMPARE(item("tileGrid")->property("count").toInt(), showInvalid ? 4 : 3);
        QCOMPARE(text("version").contains(m_screen->backend()->version()) && isShown("version"),
                 !showInvalid);
        QVERIFY(!showInvalid || (item("tileProblems", item("tile-broken"))->isVisible() &&
                                 !item("tileProblems", item("tile-demo"))->isVisible()));
    }

    void countdown_data()
    {
        QTest::addColumn<QString>("end"); // a control or a key; none: it runs out
        QTest::newRow("cancel control") << "countdownCancel";
        QTest::newRow("escape") << "Escape";
        QTest::newRow("runs out on one that cannot start") << "";
    }

    // The countdown shows the backend's seconds as they go down; however it
    // ends without starting anything, the tiles stay where they were, pixel
    // for pixel. When it runs out on an application that cannot start, the
    // screen says so, and Return leads back.
    void countdown()
    {
        QFETCH(QString, end);
        writeShellApp("board", "Notice board", LongScript);
        writeSettings(QString(),
                      end.isEmpty() ? "tile=kiosk\ntimeout=1" : "tile=board\ntimeout=30");
        QVERIFY(writeFile(m_folders->user() + "/apps/kiosk.ini",
                          "[ui]\nname=Kiosk\n[process-0]\nexec=/bin/sh\nmode=daemon\n[process-1]\n"
                          "exec=/nonexistent/lighttpd\nmode=synch\nrequired=no\n"));
        QVERIFY(openScreen(QSize(800, 480)));
        Backend* backend = m_screen->backend();
        if (end.isEmpty()) {
            QTRY_VERIFY(isShown("failureView"));
            // Every problem that check finds, each under its process, errors first.
            const QStringList lines = text("failureProblems").split('\n');
            QCOMPARE(lines, (QStringList{
                                "the application as a whole",
                                "• error: pipeline must contain at least one non-daemon process.",
                                "process-1 (lighttpd)",
                                "• error: executable '/nonexistent/lighttpd' does not exist",
                                "• error: mode: 'synch' is not a mode (sync, async or daemon), so "
                                "the process runs as a daemon; did you mean 'sync'?",
                                "• error: required: 'no' reads as true; write false (or true)",
                                "• warning: required: a required daemon is asked to terminate "
                                "when only daemons are left; unless it exits with 0 then, the end "
                                "counts as a failure"}));
            QVERIFY(text("failureTitle").contains("Kiosk cannot start"));
            QTest::keyClick(m_screen->view(), Qt::Key_Return);
            QTRY_VERIFY(isShown("tilesView"));
            return;
        }
        QTRY_VERIFY(isShown("countdown") && text("countdownText").contains("Notice board"));
        const int first = backend->autostartSeconds();
        QTRY_VERIFY(backend->autostartSeconds() < first);
        QCOMPARE(text("countdownSeconds").toInt(), backend->autostartSeconds());
        QQuickItem* grid = item("tileGrid");
        const QRect tiles = grid->mapRectToScene(grid->boundingRect()).toAlignedRect();
        const QImage before = grab().copy(tiles);
        QVERIFY(!before.isNull());
        if (end == "Escape") {
            QTest::keyClick(m_screen->view(), Qt::Key_Escape);
        } else {
            click(end);
        }
        QTRY_VERIFY(!backend->autostartActive() && !isShown("countdown") && isShown("tilesView"));
        QVERIFY(backend->autostartSeconds() == -1 && backend->runningApplication().isEmpty());
        QCOMPARE(grab().copy(tiles), before);
    }

    void runs_data()
    {
        QTest::addColumn<int>("key"); // that starts it once its tile has the focus; 0: a tap
        // What a daemon beside it that crashes at once reads as, given up; "": none.
        QTest::addColumn<QString>("givenUp");
        QTest::addColumn<QString>("script");
        // When it runs: the stop control, none if there is none. On the failure
        // screen: a control, or a key.
        QTest::addColumn<QString>("action");
        QTest::newRow("enter, stop")
            << int(Qt::Key_Return) << "given up after 1 crash" << LongScript << "stopButton";
        QTest::newRow("space, no user exit")
            << int(Qt::Key_Space) << "given up after 2 crashes" << LongScript << "";
        QTest::newRow("normal end") << 0 << "" << NormalScript << "";
        QTest::newRow("failure, start again") << 0 << "" << FailingScript << "restartButton";
        QTest::newRow("failure, Return starts again") << 0 << "" << FailingScript << "Return";
        QTest::newRow("failure, back") << 0 << "" << FailingScript << "backButton";
        QTest::newRow("failure, Escape") << 0 << "" << FailingScript << "Escape";
    }

    // A tile starts its application, by a tap or with the keyboard. The running
    // view follows its processes (a daemon given up in red, with its count),
    // and a stop leads back to the tiles; so does a normal end. A failure
    // leads to a screen that says which application failed, why, and what its
    // log said last; from there the application starts again (and fails
    // again), or the tiles come back.
    void runs()
    {
        QFETCH(int, key);
        QFETCH(QString, givenUp);
        QFETCH(QString, script);
        QFETCH(QString, action);
        writeShellApp("board", "Notice board", LongScript);
        writeShellApp(
            "clock", "Clock", script, script == FailingScript, "/bin/sh",
            givenUp.isEmpty()
                ? QString()
                : "[process-0]\nexec=/bin/sh\nmode=daemon\narguments=-c, \"kill -9 $$\", " +
                      m_marker->text() + "\nrestart-on-crash=true\nrestart-period=600\n" +
                      "restart-limit=" + givenUp.section(' ', 3, 3));
        writeSettings(action.isEmpty() ? "allow-exit=false" : "");
        QVERIFY(openScreen());
        Backend* backend = m_screen->backend();
        QSignalSpy starts(backend, &Backend::pipelineStarted);
        // To the clock's tile (the second) by an arrow, then start it; or a tap.
        if (key)
            QTest::keyClick(m_screen->view(), Qt::Key_Right);
        if (key)
            QTest::keyClick(m_screen->view(), Qt::Key(key));
        else
            click("tile-clock");
        if (script == LongScript) {
            QTRY_VERIFY(isShown("runningView") && !isShown("tilesView") && item("process-1"));
            QVERIFY(backend->runningApplication() == "clock" && text("runningName") == "Clock" &&
                    text("processName", item("process-1")) ==
                        "sh: trap 'exit 0' TERM; echo ready; whi…");
            QTRY_COMPARE(item("process-1")->property("processState").toString(),
                         QString("running"));
            QTRY_COMPARE_WITH_TIMEOUT(text("processState", item("process-0")), givenUp, 30000);
            const QObject* theme = item("runningView")->property("theme").value<QObject*>();
            QCOMPARE(item("processState", item("process-0"))->property("color").value<QColor>(),
                     theme->property("danger").value<QColor>());
            QCOMPARE(isShown("stopButton"), !action.isEmpty());
            if (action.isEmpty())
                backend->stopApplication();
            else
                click(action);
            QTRY_VERIFY(isShown("tilesView"));
            QCOMPARE(backend->lastResultMap().value("outcome").toString(), QString("stopped"));
            return;
        }
        QTRY_VERIFY(starts.count() == 1 && backend->runningApplication().isEmpty() &&
                    isShown(action.isEmpty() ? "tilesView" : "failureView"));
        if (action.isEmpty())
            return;
        QVERIFY2(
            text("failureTitle").contains("Clock") &&
                text("failureReason").contains("a required process failed", Qt::CaseInsensitive) &&
                text("failureDetail").contains("code 3") &&
                text("failureLog").contains("no sensor on the bus"),
            qPrintable(text("failureReason") + text("failureDetail") + text("failureLog")));
        // The log opens at the failure; the daemon that the launcher then
        // terminated is its clean-up, the failing process's lines stand out.
        const QString first = text("failureLog").section('\n', 0, 0);
        QVERIFY2(
            (first.contains("no answer at 0x48") || first.contains("started: /bin/sh -c for")) &&
                item("logLine-failed") && item("logLine-stopped") &&
                item("logLine-stopped")->opacity() < 1,
            qPrintable(text("failureLog")));
        if (action.endsWith("Button"))
            click(action);
        else
            QTest::keyClick(m_screen->view(), action == "Return" ? Qt::Key_Return : Qt::Key_Escape);
        const bool again = action == "restartButton" || action == "Return";
        QTRY_VERIFY(starts.count() == (again ? 2 : 1) && backend->runningApplication().isEmpty() &&
                    isShown(again ? "failureView" : "tilesView"));
    }

#ifdef LAUNCHER_PROGRAM // where the console is built
    void oneLauncher_data()
    {
        const QStringList screen{LAUNCHER_UI_PROGRAM}, console{LAUNCHER_PROGRAM, "serve"},
            mainJob{LAUNCHER_PROGRAM}, run{LAUNCHER_PROGRAM, "run", "board"};
        QTest::addColumn<QStringList>("first"); // command lines
        QTest::addColumn<QStringList>("second");
        QTest::addColumn<int>("signal"); // that ends the first
        QTest::newRow("the screen, then the console") << screen << console << int(SIGTERM);
        QTest::newRow("the screen, then a screen") << screen << screen << int(SIGHUP);
        QTest::newRow("the console, then the console") << console << console << int(SIGHUP);
        QTest::newRow("the main job, then a run") << mainJob << run << int(SIGINT);
        QTest::newRow("a run, then the main job") << run << mainJob << int(SIGHUP);
    }

    // Whichever launcher runs (a front end, or the console's run) answers the
    // control socket: status tells which one it is, its application and its
    // processes. A second launcher of the same user, whatever its command,
    // refuses to start, naming the first's pid and command. Asked to quit, the
    // first stops its application before it ends itself: nothing outlives it.
    // Under a service (its standard error the journal's stream), the journal
    // gets the launcher's own lines, and the application's only in its log file.
    void oneLauncher()
    {
        QFETCH(QStringList, first);
        QFETCH(QStringList, second);
        QFETCH(int, signal);
        writeShellApp("board", "Notice board", LongScript);
        writeSettings(QString(), "tile=board\ntimeout=1");
        const QString stream = m_folders->root() + "/journal";
        struct stat journal = {};
        QVERIFY(writeFile(stream, {}) && ::stat(QFile::encodeName(stream), &journal) == 0);
        QProcess running;
        running.setStandardErrorFile(stream, QIODevice::Append);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("JOURNAL_STREAM",
                           QString("%1:%2").arg(journal.st_dev).arg(journal.st_ino));
        running.setProcessEnvironment(environment);
        running.start(first.first(), first.mid(1));
        // Generous: a screen loads its QML first, and the machine may be busy.
        QTRY_VERIFY_WITH_TIMEOUT(m_marker->leaders().size() == 1, 60000);
        const QByteArray pid = QByteArray::number(running.processId());
        const QByteArray child = QByteArray::number(m_marker->leaders().first());
        const QString program = QFileInfo(first.first()).fileName();
        const auto [code, status] = runProgram(LAUNCHER_PROGRAM, {"status"});
        QVERIFY2(code == 0 && status.startsWith("Launcher: pid " + pid + " (" + program.toUtf8()) &&
                     status.contains("Running: 'Notice board' (board)") &&
                     status.contains(" " + child + "  running"),
                 status);
        // Said once, in the refusing program's own words.
        const auto [refused, words] = runProgram(second.first(), second.mid(1));
        const QByteArray refusal = QFileInfo(second.first()).fileName().toUtf8() +
                                   ": Another launcher is running: pid " + pid + ", " +
                                   program.toUtf8() + " (" + first.first().toUtf8();
        QVERIFY2(refused == 1 && words.count("Another launcher") == 1 &&
                     (words.startsWith(refusal) || words.contains("\n" + refusal)),
                 words);
        const QString log = m_folders->user() + "/logs/board-" +
                            QDate::currentDate().toString("yyyy-MM-dd") + ".log";
        QTRY_VERIFY_WITH_TIMEOUT(fileContent(log).contains("] ready\n"), 30000);
        signalProcess(running, signal);
        QVERIFY(running.waitForFinished(60000) && running.exitStatus() == QProcess::NormalExit);
        QCOMPARE(running.exitCode(), program == "launcher-ui" ? 0 : 128 + signal);
        QCOMPARE(m_marker->processes(), QList<qint64>());
        QVERIFY2(fileContent(stream).contains("<6>") && !fileContent(stream).contains("] ready"),
                 fileContent(stream).constData());
    }
#endif

    void realDisplay_data()
    {
        QTest::addColumn<int>("server"); // a DisplayServer::Kind
        QTest::newRow("x") << int(DisplayServer::Kind::X);
        QTest::newRow("sway") << int(DisplayServer::Kind::Sway);
        QTest::newRow("cage") << int(DisplayServer::Kind::Cage);
    }

    // On a real display server, with keys as a person presses them: an X
    // server, and a Wayland compositor. The arrows move between three tiles
    // that fit (round at the ends), a greyed tile shows its ring, and Enter on
    // it opens the cannot-start screen with the ring on its button; Escape
    // leads back. Enter on a valid one runs it, with the ring on Stop. The
    // screen says where its focus is on its standard error
    // (LAUNCHER_UI_TRACE_FOCUS); SIGTERM stops its application. Under a kiosk
    // compositor that places its one window itself, started as the package's
    // cage unit starts it (and without keys): the window fills the
    // compositor's outputs, its tiles drawn. Nothing is warned about
    // activating the window.
    void realDisplay()
    {
        QFETCH(int, server);
        const auto kind = DisplayServer::Kind(server);
        if (!qEnvironmentVariableIsSet("LAUNCHER_UI_DISPLAY_SERVERS"))
            QSKIP("runs as ctest's launcher-ui-xserver, launcher-ui-sway and launcher-ui-cage");
        DisplayServer display(kind, m_folders->root() + "/run", m_marker->text());
        if (!display.missing().isEmpty())
            QSKIP(qPrintable(display.missing()));
        writeShellApp("board", "Notice board", LongScript);
        // Drawn as the screen chooses: under X in software by itself, its
        // OpenGL being Mesa's (or none); under Wayland as ui/renderer says.
        const bool x = kind == DisplayServer::Kind::X;
        writeSettings(x ? "show-invalid-tiles=true" : "show-invalid-tiles=true\nrenderer=software");
        QStringList options, arguments;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove("QT_QUICK_BACKEND");
        environment.insert("LAUNCHER_UI_TRACE_FOCUS", "1");
        environment.insert("QT_QPA_PLATFORM", kind == DisplayServer::Kind::X ? "xcb" : "wayland");
        // ExecStart=cage OPTIONS -- PROGRAM ARGUMENTS, and its Environment=.
        const QString unit =
            QString::fromUtf8(fileContent(LAUNCHER_DIST_DIR "/launcher-ui-cage@.service"));
        QVERIFY2(unit.contains("\nExecStart=/usr/bin/cage "), qPrintable(unit));
        const bool cage = kind == DisplayServer::Kind::Cage;
        for (const QString& line : cage ? unit.split('\n') : QStringList()) {
            const QStringList words = line.section('=', 1).split(' ', Qt::SkipEmptyParts);
            if (line.startsWith("Environment="))
                for (const QString& variable : words)
                    environment.insert(variable.section('=', 0, 0), variable.section('=', 1));
            if (line.startsWith("ExecStart=")) {
                options = words.mid(1, words.indexOf("--") - 1);
                arguments = words.mid(words.indexOf("--") + 2);
            }
        }
        const QString error = display.start(
            LAUNCHER_UI_PROGRAM, arguments + QStringList{m_marker->text()}, environment, options);
        if (!error.isEmpty())
            QSKIP(qPrintable(error));
        const char* const steps[][2] = {{"", "tile-board"},          {"Right", "tile-broken"},
                                        {"Return", "backButton"},    {"Escape", "tile-broken"},
                                        {"shift+Tab", "tile-board"}, {"Left", "tile-demo"},
                                        {"Right", "tile-board"},     {"Return", "stopButton"}};
        for (const auto& [key, name] : steps) { // the focus, and the one ring on it
            if (*key && cage)
                break;
            QVERIFY(!*key || display.press(key));
            const QByteArray line = QStringLiteral("focus: %1 ring: %1").arg(name).toUtf8();
            QTRY_VERIFY2_WITH_TIMEOUT(display.latest("focus: ") == line,
                                      qPrintable(key + (": " + display.output())), 30000);
        }
        // Drawn: the window's background from edge to edge, the tiles on it.
        QImage picture;
        const auto drawn = [&] {
            picture = display.picture().convertToFormat(QImage::Format_RGB32);
            QSet<QRgb> colours;
            for (int x = 0; x < picture.width(); x += 4)
                colours.insert(picture.pixel(x, 360));
            return picture.size() == QSize(2560, 720) && picture.pixel(0, 719) != qRgb(0, 0, 0) &&
                   picture.pixel(2559, 719) == picture.pixel(0, 719) && colours.size() > 3;
        };
        QVERIFY2(!cage || QTest::qWaitFor(drawn, 30000),
                 qPrintable(QString("picture %1x%2: ").arg(picture.width()).arg(picture.height()) +
                            display.output()));
        QCOMPARE(display.stopProgram(), 0);
        QVERIFY2(!display.output().contains("requestActivate"), display.output());
        QVERIFY2(display.output().contains(x ? "launcher-ui: drawing in software: "
                                             : "launcher-ui: drawing in software, as ui/renderer"),
                 display.output());
    }

    // With LAUNCHER_SCREENSHOTS=DIR: the screen at 1280x720 in its four states,
    // as DIR/{countdown,tiles,running,failure}.png, each taken once it shows them.
    void screenshots()
    {
        const QString folder = qEnvironmentVariable("LAUNCHER_SCREENSHOTS");
        if (folder.isEmpty())
            QSKIP("LAUNCHER_SCREENSHOTS names no folder");
        // Programs with the names a kiosk would have, all of them the shell.
        QString gallery = "[ui]\nname=Photo gallery\n";
        const QString processes[][3] = {{"sound-server", LongScript, "daemon"},
                                        {"playlist-sync", "sleep 0.2; echo synced", "async"},
                                        {"slideshow", LongScript, "sync\nrequired=true"}};
        for (int i = 0; i < 3; ++i) {
            const QString program = m_folders->root() + '/' + processes[i][0];
            QVERIFY(QFile::link("/bin/sh", program));
            gallery += QStringLiteral("[process-%1]\nexec=%2\narguments=-c, \"%3\", %4\nmode=%5\n"
                                      "library-paths=/usr/bin, /bin\n")
                           .arg(QString::number(i), program, processes[i][1], m_marker->text(),
                                processes[i][2]);
        }
        QVERIFY(QDir().mkpath(folder) &&
                writeFile(m_folders->user() + "/apps/gallery.ini", gallery.toUtf8()));
        writeShellApp("sensor", "Sensor check", FailingScript);
        writeShellApp("board", "Notice board", LongScript);
        writeShellApp("guide", "Visitor guide", LongScript);
        writeSettings(QString(), "tile=gallery\ntimeout=30");
        QVERIFY(openScreen(QSize(1280, 720)));
        const auto save = [&](const char* name, const std::function<bool()>& shown) {
            if (!QTest::qWaitFor(shown))
                return false;
            const QImage picture = grab();
            const QString path = folder + '/' + name + ".png";
            return picture.size() == QSize(1280, 720) && picture.save(path) &&
                   QFileInfo(path).size() < 150 * 1024;
        };
        QVERIFY(save("countdown", [&] { return isShown("countdown"); }));
        click("countdownCancel");
        QVERIFY(save("tiles", [&] { return !isShown("countdown") && isShown("tile-guide"); }));
        click("tile-gallery");
        QVERIFY(save("running", [&] {
            return item("process-2") && item("process-1")->property("processState") == "finished" &&
                   item("process-2")->property("processState") == "running";
        }));
        m_screen->backend()->stopApplication();
        QTRY_VERIFY(isShown("tilesView"));
        click("tile-sensor");
        QVERIFY(save("failure", [&] {
            return text("failureLog").contains("no sensor on the bus") &&
                   !text("failureLog").contains(m_folders->root());
        }));
    }
};

LAUNCHER_TEST(TestLauncherScreen)
#include "TestLauncherScreen.moc"
