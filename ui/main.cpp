#include "FocusTrace.h"
#include "LauncherScreen.h"
#include "QuitSignals.h"
#include "RenderBackend.h"

#include <QGuiApplication>
#include <QQuickView>

int main(int argc, char* argv[])
{
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QGuiApplication app(argc, argv);
    QGuiApplication::setApplicationName(QStringLiteral("launcher-ui"));
    chooseSceneGraphBackend();

    // A service manager's stop, or Ctrl+C: the running application is stopped
    // in order (LauncherScreen's destructor) before the program ends.
    QuitSignals quitSignals;
    QObject::connect(&quitSignals, &QuitSignals::received, &app, &QCoreApplication::quit);

    // One launcher for each user: a second one refuses before it has touched
    // anything, with the status the console refuses with.
    LauncherScreen screen;
    if (!screen.listen() || !screen.load())
        return 1;
    if (qEnvironmentVariableIsSet("LAUNCHER_UI_TRACE_FOCUS"))
        new FocusTrace(screen.view()); // owned by the window
    screen.show();
    return app.exec();
}
