#pragma once

#include "Backend.h"

#include <QByteArray>
#include <QString>

// What the console tells about applications: the loaded list (as text or JSON)
// and the check of single pipeline files. Reading and validating are the
// backend's; these only present their results.

void printList(Backend& backend);
QByteArray listJson(Backend& backend);

// Prints what the backend reads from the file and every problem found; true
// when there is none.
bool checkFile(Backend& backend, const QString& path);
