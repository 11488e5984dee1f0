#pragma once

#include <QString>

// One thing wrong with a configuration file, as the linter found it. An error
// means the file will not be read as it seems to mean; a warning means
// something in it is ignored or looks accidental.
struct ConfigProblem
{
    enum class Severity
    {
        Error,
        Warning
    };

    Severity severity = Severity::Error;
    QString file;  // the path as it was given
    QString group; // empty for the file as a whole or the keys before any group
    QString key;   // empty for a group or the file as a whole
    QString message;
    // The process of the pipeline it concerns, where that is known; -1 otherwise.
    int processIndex = -1;

    bool isError() const { return severity == Severity::Error; }
    QString severityName() const
    {
        return isError() ? QStringLiteral("error") : QStringLiteral("warning");
    }

    // "[group] key: message", without the file.
    QString text() const
    {
        QString where;
        if (!group.isEmpty())
            where = QLatin1Char('[') + group + QLatin1Char(']');
        if (!key.isEmpty())
            where += (where.isEmpty() ? QString() : QStringLiteral(" ")) + key;
        return where.isEmpty() ? message : where + QStringLiteral(": ") + message;
    }
};
