#include "TestLauncherScreen.h"
#include "TestWindowPlacement.h"

#include <QGuiApplication>
#include <QQuickWindow>
#include <QSGRendererInterface>
#include <QTest>

// Runs both classes with the program's command line; a first argument that
// names a class runs that one alone. The exit code is non-zero when any test failed.
int main(int argc, char* argv[])
{
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    // Software rendering: the same pictures on every machine, and grabs without a GPU.
    QQuickWindow::setSceneGraphBackend(QSGRendererInterface::Software);
    QGuiApplication app(argc, argv);

    QStringList arguments = QCoreApplication::arguments();
    TestWindowPlacement placement;
    TestLauncherScreen screen;
    QList<QObject*> tests{&placement, &screen};
    const QString named = arguments.value(1);
    if (named == QLatin1String("TestWindowPlacement") ||
        named == QLatin1String("TestLauncherScreen")) {
        arguments.removeAt(1);
        tests = {named == QLatin1String("TestWindowPlacement") ? static_cast<QObject*>(&placement)
                                                               : &screen};
    }
    int result = 0;
    for (QObject* test : tests)
        result |= QTest::qExec(test, arguments);
    return result;
}
