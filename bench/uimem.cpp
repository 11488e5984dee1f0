// launcher-ui-mem: the kiosk screen's resident memory, beside the floor that
// any Qt Quick screen of its size stands on, and over start/stop cycles
// driven through its control socket.
//
//   launcher-ui-mem [--cycles N] [--smoke] [--platform xvfb|offscreen] [--board]
//
// It starts launcher-ui on a temporary data folder of three applications,
// each a child that runs until stopped and carries a marker of this run.
// Tiles: the screen's VmRSS once it has settled on the tiles, beside a bare
// window of the same size drawn the same way (this program again, with
// --floor: a QQuickView showing an empty Rectangle), for the default drawing
// and the others a kiosk can choose. Both choose their drawing as the screen
// does, from the same launcher.ini: by default in software where OpenGL is
// Mesa's own (Xvfb's is), which the default row then measures, and OpenGL
// there in the ui/renderer=opengl rows. Cycles: one application started and
// stopped N times (200 by default) over the socket, drawn the default way and
// with ui/renderer=opengl, VmRSS after the first and at the last. It fails when the last is more
// than 5 % above the first (not with --smoke, whose few cycles only keep this working), when a
// cycle does not go through, or when a child outlives its stop. --board measures only the tiles
// with ui/renderer=software and =opengl and prints one JSON object for each (launcher-bench's
// figures for a board).

#include "ControlServer.h"
#include "ProcessProbe.h"
#include "RenderBackend.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QProcess>
#include <QQuickView>
#include <QSGRendererInterface>
#include <QScreen>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>
#include <memory>

#include <unistd.h>

namespace {

const char* const Width = "800"; // the screen's width, from launcher.ini
const int Applications = 3;
const double AllowedGrowth = 0.05;

// The bare window: the background that the screen sets before its first
// frame, nothing drawn on it. It says "shown" once its first frame is out.
int runFloor(int argc, char* argv[])
{
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QGuiApplication app(argc, argv);
    chooseSceneGraphBackend();
    QTemporaryDir folder;
    const QString qml = folder.filePath(QStringLiteral("floor.qml"));
    QFile file(qml);
    if (!file.open(QIODevice::WriteOnly) ||
        file.write("import QtQuick 2.15\nRectangle { color: \"#0f1419\" }\n") < 0)
        return 1;
    file.close();
    QQuickView view;
    view.setResizeMode(QQuickView::SizeRootObjectToView);
    view.setFlags(view.flags() | Qt::FramelessWindowHint);
    view.setColor(QColor(QStringLiteral("#0f1419")));
    view.setSource(QUrl::fromLocalFile(qml));
    if (view.status() != QQuickView::Ready)
        return 1;
    const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
    view.setGeometry(available.x(), available.y(), std::min(available.width(), atoi(Width)),
                     available.height());
    QObject::connect(&view, &QQuickWindow::frameSwapped, &view, [&view] {
        static bool said = false;
        if (said)
            return;
        said = true;
        const bool software =
            view.rendererInterface()->graphicsApi() == QSGRendererInterface::Software;
        std::printf("shown %dx%d api %s\n", view.width(), view.height(),
                    software ? "software" : "OpenGL");
        std::fflush(stdout);
    });
    view.show();
    return app.exec();
}

bool writeText(const QString& path, const QByteArray& text)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
}

class Control
{
public:
    explicit Control(const QString& path) : m_path(path) {}

    // One request, one reply, on a connection of its own (the server closes
    // idle ones).
    QJsonObject ask(const QJsonObject& request, int timeoutMs = 30000)
    {
        QLocalSocket socket;
        socket.connectToServer(m_path);
        if (!socket.waitForConnected(timeoutMs))
            return {};
        socket.write(QJsonDocument(request).toJson(QJsonDocument::Compact) + '\n');
        QElapsedTimer timer;
        timer.start();
        QByteArray reply;
        while (!reply.contains('\n') && timer.elapsed() < timeoutMs) {
            if (socket.waitForReadyRead(int(timeoutMs - timer.elapsed())))
                reply += socket.readAll();
            else if (socket.state() != QLocalSocket::ConnectedState)
                break;
        }
        return QJsonDocument::fromJson(reply.left(reply.indexOf('\n'))).object();
    }

    // Waits until the screen answers and, when `state` is given, until the
    // first process of its pipeline is in it.
    bool waitFor(const QString& state, int timeoutMs)
    {
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < timeoutMs) {
            const QJsonObject status = ask({{QStringLiteral("command"), QStringLiteral("status")}});
            if (status.value(QStringLiteral("ok")).toBool()) {
                const QJsonArray processes = status.value(QStringLiteral("pipeline"))
                                                 .toObject()
                                                 .value(QStringLiteral("processes"))
                                                 .toArray();
                if (state.isEmpty() ||
                    (!processes.isEmpty() &&
                     processes.first().toObject().value(QStringLiteral("state")) == state))
                    return true;
            }
            QThread::msleep(20);
        }
        return false;
    }

private:
    QString m_path;
};

// A process of this run, ended (politely, then not) when it goes out of scope.
struct OwnedProcess
{
    QProcess process;
    ~OwnedProcess()
    {
        if (process.state() != QProcess::NotRunning) {
            process.terminate();
            if (!process.waitForFinished(30000))
                process.kill();
            process.waitForFinished(5000);
        }
    }
};

struct Drawing
{
    const char* name;
    QStringList environment; // on top of the run's own
    const char* settings;    // the [ui] lines of launcher.ini after its width
};

} // namespace

int main(int argc, char* argv[])
{
    if (argc > 1 && qstrcmp(argv[1], OpenGlRendererOption) == 0)
        return printOpenGlRenderer(argc, argv); // chooseSceneGraphBackend()'s child
    for (int i = 1; i < argc; ++i) {
        if (qstrcmp(argv[i], "--floor") == 0)
            return runFloor(argc, argv);
    }
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption cyclesOption(QStringLiteral("cycles"),
                                          QStringLiteral("Start/stop cycles (200)."),
                                          QStringLiteral("N"), QStringLiteral("200"));
    const QCommandLineOption smokeOption(QStringLiteral("smoke"),
                                         QStringLiteral("10 cycles, one drawing, no bound."));
    const QCommandLineOption platformOption(
        QStringLiteral("platform"),
        QStringLiteral("xvfb (an 800x480 Xvfb, the default where installed) or offscreen."),
        QStringLiteral("NAME"));
    const QCommandLineOption boardOption(
        QStringLiteral("board"),
        QStringLiteral("Only the tiles drawn in software and with OpenGL, as JSON lines."));
    parser.addOptions({cyclesOption, smokeOption, platformOption, boardOption});
    parser.process(app);
    const bool smoke = parser.isSet(smokeOption);
    const bool board = parser.isSet(boardOption);
    const int cycles = smoke ? 10 : parser.value(cyclesOption).toInt();
    const QString screenProgram =
        QCoreApplication::applicationDirPath() + QStringLiteral("/../ui/launcher-ui");
    if (cycles < 1 || !QFileInfo::exists(screenProgram)) {
        std::fprintf(stderr, "launcher-ui-mem: needs --cycles of at least 1 and %s\n",
                     qPrintable(screenProgram));
        return 2;
    }

    QString platform = parser.value(platformOption);
    if (platform.isEmpty())
        platform = smoke || QStandardPaths::findExecutable(QStringLiteral("Xvfb")).isEmpty()
                       ? QStringLiteral("offscreen")
                       : QStringLiteral("xvfb");

    QTemporaryDir folder;
    const QString data = folder.filePath(QStringLiteral("data"));
    const QString runtime = folder.filePath(QStringLiteral("runtime"));
    const QByteArray marker = QByteArray::number(86400) + '.' + QByteArray::number(getpid());
    QDir().mkpath(data + QStringLiteral("/Orvalen/launcher/apps"));
    QDir().mkpath(runtime);
    QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    const QString settingsFile = data + QStringLiteral("/Orvalen/launcher/launcher.ini");
    const auto writeSettings = [&settingsFile](const char* lines) {
        return writeText(settingsFile, QByteArray("[ui]\nwidth=") + Width + "px\n" + lines);
    };
    bool written = writeSettings("");
    for (int i = 0; i < Applications; ++i) {
        written =
            written &&
            writeText(data + QStringLiteral("/Orvalen/launcher/apps/app%1.ini").arg(i),
                      "[ui]\nname=Application " + QByteArray::number(i) +
                          "\n[process-0]\nexec=/bin/sleep\narguments=" + marker + "\nmode=async\n");
    }
    if (!written) {
        std::fprintf(stderr, "launcher-ui-mem: cannot write the data folder in %s\n",
                     qPrintable(folder.path()));
        return 1;
    }
    // This program looks for the socket where the screen makes it.
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime));
    qputenv("XDG_DATA_HOME", QFile::encodeName(data));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(folder.filePath(QStringLiteral("config"))));

    // An 800x480 X server of our own, as on a small panel.
    OwnedProcess xvfbServer; // ended on every way out
    QProcess& xvfb = xvfbServer.process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (platform == QLatin1String("xvfb")) {
        xvfb.start(QStringLiteral("Xvfb"),
                   {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                    QStringLiteral("0"), QStringLiteral("800x480x24"), QStringLiteral("-nolisten"),
                    QStringLiteral("tcp")});
        QByteArray display;
        while (!display.contains('\n') && xvfb.waitForReadyRead(10000))
            display += xvfb.readAllStandardOutput();
        if (!display.contains('\n')) {
            std::fprintf(stderr, "launcher-ui-mem: Xvfb did not start\n");
            return 1;
        }
        environment.insert(QStringLiteral("DISPLAY"), QLatin1Char(':') + display.trimmed());
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    } else {
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    }
    environment.remove(QStringLiteral("QT_QUICK_BACKEND"));
    environment.remove(QStringLiteral("QSG_RENDER_LOOP"));

    const QString socket = ControlServer::socketPath();
    Control control(socket);
    const std::vector<Drawing> drawings = {
        {"default", {}, ""},
        {"ui/renderer=opengl", {}, "renderer=opengl\n"},
        {"opengl, QSG_RENDER_LOOP=basic",
         {QStringLiteral("QSG_RENDER_LOOP=basic")},
         "renderer=opengl\n"},
        {"QT_QUICK_BACKEND=software", {QStringLiteral("QT_QUICK_BACKEND=software")}, ""},
        {"software, QSG_RENDER_LOOP=basic",
         {QStringLiteral("QT_QUICK_BACKEND=software"), QStringLiteral("QSG_RENDER_LOOP=basic")},
         ""},
    };

    // The screen on the tiles and the bare window, drawn one way.
    struct Tiles
    {
        qint64 screenKiB = -1;
        qint64 floorKiB = -1;
        QByteArray drawnWith;
    };
    const auto measureTiles = [&](const Drawing& drawing) {
        Tiles tiles;
        QProcessEnvironment drawn = environment;
        for (const QString& pair : drawing.environment)
            drawn.insert(pair.section(QLatin1Char('='), 0, 0), pair.section(QLatin1Char('='), 1));
        if (!writeSettings(drawing.settings)) {
            std::fprintf(stderr, "launcher-ui-mem: cannot write %s\n", qPrintable(settingsFile));
            return tiles;
        }
        {
            OwnedProcess screen;
            screen.process.setProcessEnvironment(drawn);
            screen.process.setStandardOutputFile(folder.filePath(QStringLiteral("screen.log")),
                                                 QIODevice::Append);
            screen.process.setStandardErrorFile(folder.filePath(QStringLiteral("screen.log")),
                                                QIODevice::Append);
            screen.process.start(screenProgram, QStringList());
            if (screen.process.waitForStarted(10000) && control.waitFor(QString(), 30000))
                tiles.screenKiB = settledKiB(screen.process.processId());
        }
        {
            OwnedProcess floor;
            floor.process.setProcessEnvironment(drawn);
            floor.process.start(QCoreApplication::applicationFilePath(),
                                {QStringLiteral("--floor")});
            QByteArray said;
            while (!said.contains('\n') && floor.process.waitForReadyRead(30000))
                said += floor.process.readAllStandardOutput();
            if (said.startsWith("shown")) {
                tiles.floorKiB = settledKiB(floor.process.processId());
                tiles.drawnWith = said.mid(said.indexOf("api ") + 4).trimmed();
            }
        }
        if (tiles.screenKiB < 0 || tiles.floorKiB < 0) {
            std::fprintf(stderr, "launcher-ui-mem: the %s %s did not come up (its output: %s)\n",
                         drawing.name, tiles.screenKiB < 0 ? "screen" : "bare window",
                         qPrintable(folder.filePath(QStringLiteral("screen.log"))));
            folder.setAutoRemove(false);
        }
        return tiles;
    };

    // For launcher-bench's table of a board's figures: the two drawings a
    // kiosk chooses between, one JSON object each.
    if (board) {
        const std::vector<Drawing> chosen = {{"ui/renderer=software", {}, "renderer=software\n"},
                                             {"ui/renderer=opengl", {}, "renderer=opengl\n"}};
        for (size_t d = 0; d < (smoke ? 1 : chosen.size()); ++d) {
            const Tiles tiles = measureTiles(chosen[d]);
            if (tiles.screenKiB < 0 || tiles.floorKiB < 0)
                return 1;
            const QJsonObject row{{QStringLiteral("drawing"), QLatin1String(chosen[d].name)},
                                  {QStringLiteral("drawnWith"), QString::fromUtf8(tiles.drawnWith)},
                                  {QStringLiteral("platform"), platform},
                                  {QStringLiteral("screenKiB"), tiles.screenKiB},
                                  {QStringLiteral("floorKiB"), tiles.floorKiB}};
            std::printf("%s\n", QJsonDocument(row).toJson(QJsonDocument::Compact).constData());
            std::fflush(stdout);
        }
        return 0;
    }

    std::printf("launcher-ui resident memory (VmRSS), platform %s, window %s px wide and as high "
                "as the screen (%s)\n\n",
                qPrintable(platform), Width,
                platform == QLatin1String("xvfb") ? "480" : "offscreen's own");
    std::printf(
        "| Drawing | drawn with | launcher-ui on the tiles (MiB) | bare Qt Quick window (MiB) "
        "| ratio |\n|---|---|---:|---:|---:|\n");
    int failures = 0;
    const size_t measured = smoke ? 1 : drawings.size();
    for (size_t d = 0; d < measured; ++d) {
        const Tiles tiles = measureTiles(drawings[d]);
        if (tiles.screenKiB < 0 || tiles.floorKiB < 0)
            return 1;
        std::printf("| %s | %s | %.1f | %.1f | %.2f |\n", drawings[d].name,
                    tiles.drawnWith.constData(), tiles.screenKiB / 1024.0, tiles.floorKiB / 1024.0,
                    double(tiles.screenKiB) / double(tiles.floorKiB));
        std::fflush(stdout);
    }

    // The cycles, drawn the default way and with OpenGL (the same on
    // offscreen, which has none).
    std::printf("\n| Cycles | drawing | after the first (MiB) | at the last (MiB) | growth | peak "
                "(MiB) |\n|---:|---|---:|---:|---:|---:|\n");
    const size_t cycled = smoke ? 1 : 2;
    for (size_t d = 0; d < cycled; ++d) {
        if (!writeSettings(d == 0 ? "" : "renderer=opengl\n")) {
            std::fprintf(stderr, "launcher-ui-mem: cannot write %s\n", qPrintable(settingsFile));
            return 1;
        }
        OwnedProcess screen;
        screen.process.setProcessEnvironment(environment);
        screen.process.setStandardOutputFile(QProcess::nullDevice());
        screen.process.setStandardErrorFile(folder.filePath(QStringLiteral("cycles.log")),
                                            QIODevice::Append);
        screen.process.start(screenProgram, QStringList());
        if (!screen.process.waitForStarted(10000) || !control.waitFor(QString(), 30000)) {
            std::fprintf(stderr, "launcher-ui-mem: the screen did not answer on %s\n",
                         qPrintable(socket));
            return 1;
        }
        const qint64 pid = screen.process.processId();
        qint64 firstKiB = -1;
        qint64 peakKiB = 0;
        for (int cycle = 1; cycle <= cycles; ++cycle) {
            const QJsonObject started =
                control.ask({{QStringLiteral("command"), QStringLiteral("start")},
                             {QStringLiteral("application"),
                              QStringLiteral("app%1").arg(cycle % Applications)}});
            const bool running = started.value(QStringLiteral("ok")).toBool() &&
                                 control.waitFor(QStringLiteral("running"), 30000);
            const QJsonObject stopped =
                control.ask({{QStringLiteral("command"), QStringLiteral("stop")}});
            if (!running || !stopped.value(QStringLiteral("stopped")).toBool()) {
                std::fprintf(stderr, "launcher-ui-mem: cycle %d did not go through: %s / %s\n",
                             cycle,
                             QJsonDocument(started).toJson(QJsonDocument::Compact).constData(),
                             QJsonDocument(stopped).toJson(QJsonDocument::Compact).constData());
                return 1;
            }
            if (!markedProcesses(marker).isEmpty()) {
                std::fprintf(stderr, "launcher-ui-mem: a child outlived the stop of cycle %d\n",
                             cycle);
                return 1;
            }
            if (cycle == 1)
                firstKiB = settledKiB(pid);
            peakKiB = std::max(peakKiB, usageOf(pid).rssKiB);
        }
        const qint64 lastKiB = settledKiB(pid);
        const double growth = double(lastKiB - firstKiB) / double(firstKiB);
        std::printf("| %d | %s | %.1f | %.1f | %+.1f %% | %.1f |\n", cycles,
                    d == 0 ? "default" : "ui/renderer=opengl", firstKiB / 1024.0, lastKiB / 1024.0,
                    growth * 100, peakKiB / 1024.0);
        std::fflush(stdout);
        if (!smoke && growth > AllowedGrowth) {
            std::printf("FAILED: resident memory grew by more than %.0f %% over %d cycles\n",
                        AllowedGrowth * 100, cycles);
            ++failures;
        }
    }
    return failures == 0 ? 0 : 1;
}
