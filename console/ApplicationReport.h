#pragma once

#include "Backend.h"

#include <QByteArray>
#include <QString>

// What the console tells about applications: the loaded list (as text or JSON)
// and the check of single pipeline files. Reading and validating are the
// backend's; these only present their results.

void printList(Backend& backend);
QByteArray listJson(Backend& backend);

// What check found in one file: lint problems and, for a pipeline file, the
// reasons its application could not start, each naming its process.
struct FileCheck
{
    QString path;
    bool readable = false;         // false: no such file, or not a file
    QList<ConfigProblem> problems; // the linter's
    QList<ConfigProblem> reasons;  // why the pipeline cannot start, by process
    int errors() const;
    int warnings() const;
};

// Prints what the backend reads from the file (a pipeline file, or
// launcher.ini by its name) and every problem found, unless `quiet`.
FileCheck checkFile(Backend& backend, const QString& path, bool quiet);
QByteArray checkJson(const QList<FileCheck>& checks);
