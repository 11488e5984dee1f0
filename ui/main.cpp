#include "LauncherScreen.h"

#include <QGuiApplication>

int main(int argc, char* argv[])
{
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QGuiApplication app(argc, argv);
    QGuiApplication::setApplicationName(QStringLiteral("launcher-ui"));

    LauncherScreen screen;
    if (!screen.load())
        return 1;
    screen.show();
    return app.exec();
}
