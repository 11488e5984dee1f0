#include "TestBackendConfig.h"
#include "TestPipelineController.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QList>
#include <QTest>

// Runs the backend's suites in order with the program's own command line; the
// exit code is the bitwise OR of their results, so 0 means every test passed.
int main(int argc, char* argv[])
{
    QGuiApplication app(argc, argv);
    QCoreApplication::setAttribute(Qt::AA_Use96Dpi, true);

    QList<QObject*> testObjects;
    testObjects.append(new TestBackendConfig(&app));
    testObjects.append(new TestPipelineController(&app));

    int result = 0;
    for (QObject* testObject : testObjects)
        result |= QTest::qExec(testObject, QCoreApplication::arguments());

    testObjects.clear();
    return result;
}
