#pragma once

#include <QMetaType>
#include <QString>

// One reason why a pipeline cannot start, tied to the process it concerns.
struct ValidationProblem
{
    int processIndex = -1; // the process of the pipeline it concerns; -1 for the whole pipeline
    QString key;           // the key it is about ("exec", "working-directory", ...); may be empty
    QString message;       // the whole sentence, as the log and the console print it

    // The sentence that the log, the console and validationErrors() give.
    QString text() const { return message; }

    bool operator==(const ValidationProblem& other) const
    {
        return processIndex == other.processIndex && key == other.key && message == other.message;
    }
    bool operator!=(const ValidationProblem& other) const { return !(*this == other); }
};

Q_DECLARE_METATYPE(ValidationProblem)
