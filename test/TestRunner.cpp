#include "TestRegistry.h"

#include <QCoreApplication>
#include <QTest>

#include <algorithm>
#include <cstdlib>

#ifdef LAUNCHER_GUI_TESTS
#include <QGuiApplication>
using TestApplication = QGuiApplication;
#else
using TestApplication = QCoreApplication;
#endif

// Runs every registered test class with the program's command line; the exit
// code is the bitwise OR of their results. A first argument that names a class
// runs that class alone, so that its test functions can be named after it.
int main(int argc, char* argv[])
{
    // Headless unless told otherwise; Qt Quick renders in software: the same
    // pictures on every machine, and grabs without a GPU.
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    ::setenv("QT_QUICK_BACKEND", "software", 0);
    TestApplication app(argc, argv);
    QStringList arguments = QCoreApplication::arguments();
    std::vector<std::unique_ptr<QObject>> tests;
    for (const TestFactory& create : registeredTests())
        tests.push_back(create());
    const auto named = std::find_if(tests.begin(), tests.end(), [&](const auto& test) {
        return arguments.value(1) == QLatin1String(test->metaObject()->className());
    });
    if (named != tests.end())
        arguments.removeAt(1);
    int result = 0;
    for (const std::unique_ptr<QObject>& test : tests) {
        if (named == tests.end() || test == *named)
            result |= QTest::qExec(test.get(), arguments);
    }
    return result;
}
