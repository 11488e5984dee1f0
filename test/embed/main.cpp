#include "Backend.h"

#include <QCoreApplication>

// Constructs the backend as a front end would; exits 0 when it comes up with
// its defaults.
int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    Backend backend;
    qInfo("Embedded backend, user data folder '%s'", qUtf8Printable(backend.userDataPath()));
    return backend.autostartTimeout() == 60 && backend.processPipelines().isEmpty() ? 0 : 1;
}
