#include "ProblemWording.h"

#include <algorithm>

QString reasonText(const ConfigProblem& reason)
{
    return reason.group.isEmpty() ? reason.message
                                  : reason.group + QStringLiteral(": ") + reason.message;
}

ConfigProblem worded(const ConfigProblem& problem, const QString& words)
{
    return {problem.severity, problem.file, QString(), QString(), words};
}

QList<ConfigProblem> loadedErrors(Backend& backend)
{
    QList<ConfigProblem> errors;
    const QList<PipelineConfig>& pipelines = backend.processPipelines();
    for (int i = 0; i < pipelines.size(); ++i) {
        const QString path = backend.pipelineFilePath(i);
        for (const ConfigProblem& reason : backend.pipelineProblems(pipelines.at(i), path, {}))
            errors.append(worded(reason, reasonText(reason)));
    }
    for (const ConfigProblem& problem : backend.configProblems()) {
        if (problem.isError())
            errors.append(worded(problem, problem.text()));
    }
    // File by file, each file's in the order that check shows them.
    std::stable_sort(
        errors.begin(), errors.end(),
        [](const ConfigProblem& a, const ConfigProblem& b) { return a.file < b.file; });
    return errors;
}
