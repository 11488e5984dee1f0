#include "ProblemWording.h"

#include <algorithm>

QList<ConfigProblem> validationProblems(const PipelineController& controller,
                                        const PipelineConfig& pipeline, const QString& path)
{
    QList<ConfigProblem> problems;
    for (const ValidationProblem& problem : controller.validate(pipeline)) {
        QString group;
        if (problem.processIndex >= 0) {
            group = pipeline.processList.value(problem.processIndex).group;
            if (group.isEmpty())
                group = QStringLiteral("process %1").arg(problem.processIndex + 1);
        }
        problems.append({ConfigProblem::Severity::Error, path, group, QString(), problem.text()});
    }
    return problems;
}

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
        for (const ConfigProblem& reason :
             validationProblems(*backend.pipelineController(), pipelines.at(i), path))
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
