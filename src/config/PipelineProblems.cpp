#include "config/PipelineProblems.h"

#include <QVariantMap>

#include <algorithm>

namespace PipelineProblems {

QList<ConfigProblem> merged(const PipelineConfig& pipeline, const QString& path,
                            const QList<ValidationProblem>& reasons,
                            const QList<ConfigProblem>& lint)
{
    QList<ConfigProblem> problems;
    for (const ValidationProblem& reason : reasons) {
        ConfigProblem problem{ConfigProblem::Severity::Error, path, QString(), QString(),
                              reason.text()};
        problem.processIndex = reason.processIndex;
        if (reason.processIndex >= 0) {
            problem.group = pipeline.processList.value(reason.processIndex).group;
            if (problem.group.isEmpty())
                problem.group = QStringLiteral("process %1").arg(reason.processIndex + 1);
        }
        problems.append(problem);
    }
    // A process's own group, or one inside it ("process-1/environment").
    for (ConfigProblem problem : lint) {
        const QString group = problem.group.section(QLatin1Char('/'), 0, 0);
        for (int i = 0; i < pipeline.processList.size() && !group.isEmpty(); ++i) {
            if (pipeline.processList.at(i).group == group) {
                problem.processIndex = i;
                break;
            }
        }
        problems.append(problem);
    }
    return problems;
}

QVariantList shown(const PipelineConfig& pipeline, QList<ConfigProblem> problems)
{
    std::stable_sort(problems.begin(), problems.end(),
                     [](const ConfigProblem& a, const ConfigProblem& b) {
                         if (a.processIndex != b.processIndex)
                             return a.processIndex < b.processIndex;
                         return a.isError() && !b.isError();
                     });
    QVariantList list;
    for (const ConfigProblem& problem : problems) {
        const ProcessConfig* process =
            problem.processIndex >= 0 ? &pipeline.processList.at(problem.processIndex) : nullptr;
        // Under its process's heading, a problem of the process's own group
        // needs no group of its own.
        const bool ownGroup = process && problem.group == process->group;
        const QString where = ownGroup ? problem.key : QString();
        list.append(QVariantMap{
            {QStringLiteral("processIndex"), problem.processIndex},
            {QStringLiteral("process"),
             process
                 ? QStringLiteral("%1 (%2)").arg(
                       process->group, processShownName(pipeline.processList, problem.processIndex))
                 : QString()},
            {QStringLiteral("severity"), problem.severityName()},
            {QStringLiteral("text"), !ownGroup ? problem.text()
                                     : where.isEmpty()
                                         ? problem.message
                                         : where + QStringLiteral(": ") + problem.message},
        });
    }
    return list;
}

} // namespace PipelineProblems
