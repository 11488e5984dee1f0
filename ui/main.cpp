#include "FocusTrace.h"
#include "LauncherScreen.h"
#include "QuitSignals.h"
#include "RenderBackend.h"
#include "ServiceJournal.h"

#include <QGuiApplication>
#include <QQuickView>

#include <cstdio>

#include <unistd.h>

namespace {

// Every line on standard error, as Qt writes it, and as the service journal's
// rule has it: with its priority, an application's line only where the
// journal takes it.
void onMessage(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (ServiceJournal::route(type, context, message, STDERR_FILENO) != ServiceJournal::Route::Line)
        return;
    const QByteArray line = ServiceJournal::prefix(STDERR_FILENO, type) +
                            qFormatLogMessage(type, context, message).toUtf8() + '\n';
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    std::fflush(stderr);
}

// A line of the screen's own, as a person reads it: the program's name first,
// no category.
void printLine(QtMsgType type, const QString& message)
{
    const QByteArray line = ServiceJournal::prefix(STDERR_FILENO, type) +
                            QCoreApplication::applicationName().toUtf8() + ": " + message.toUtf8() +
                            '\n';
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    std::fflush(stderr);
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc > 1 && qstrcmp(argv[1], OpenGlRendererOption) == 0)
        return printOpenGlRenderer(argc, argv);
    qInstallMessageHandler(&onMessage);
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QGuiApplication app(argc, argv);
    QGuiApplication::setApplicationName(QStringLiteral("launcher-ui"));
    printLine(QtInfoMsg, chooseSceneGraphBackend().line);

    // A service manager's stop, or Ctrl+C: the running application is stopped
    // in order (LauncherScreen's destructor) before the program ends.
    QuitSignals quitSignals;
    QObject::connect(&quitSignals, &QuitSignals::received, &app, &QCoreApplication::quit);

    // One launcher for each user: a second one refuses before it has touched
    // anything, with the status the console refuses with.
    LauncherScreen screen;
    ServiceJournal::follow(*screen.backend());
    if (!screen.listen()) {
        printLine(QtCriticalMsg, screen.refusal());
        return 1;
    }
    if (!screen.load())
        return 1;
    if (qEnvironmentVariableIsSet("LAUNCHER_UI_TRACE_FOCUS"))
        new FocusTrace(screen.view()); // owned by the window
    screen.show();
    return app.exec();
}
