#pragma once

#include "Backend.h"

#include <QList>
#include <QString>

// How the problems of the launcher's files are worded wherever they are told:
// check and list print them, the control socket's reload returns them.

// A reason why a pipeline cannot start reads "process-2: ...", where a lint
// problem reads "[process-2] key: ...".
QString reasonText(const ConfigProblem& reason);
// A problem that carries its words whole, as check prints them.
ConfigProblem worded(const ConfigProblem& problem, const QString& words);

// Every error that check finds in the files the backend loaded (launcher.ini
// and the pipeline files): the linter's and why a pipeline cannot start, each
// with its file and, as its message, the words check prints after "error: ".
QList<ConfigProblem> loadedErrors(Backend& backend);
