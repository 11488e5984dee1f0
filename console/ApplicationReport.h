#pragma once

#include "Backend.h"

#include <QByteArray>
#include <QString>

// What the console tells about applications: the loaded list (as text or
// JSON) and the check of single pipeline files. Reading and validating are
// the backend's; this class only presents their results.
class ApplicationReport
{
public:
    // dataFolder: the per-user data folder the backend read, for the header.
    ApplicationReport(Backend& backend, const QString& dataFolder);

    void printList();
    QByteArray listJson();

    // Prints what the backend reads from the file and every problem found;
    // true when there is none.
    bool checkFile(const QString& path);

private:
    QString autostartText() const;

    Backend& m_backend;
    QString m_dataFolder;
};
