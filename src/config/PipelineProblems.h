#pragma once

#include "ConfigProblem.h"
#include "PipelineConfig.h"
#include "ValidationProblem.h"

#include <QList>
#include <QString>
#include <QVariantList>

// What is wrong with one pipeline, as `launcher check` and a screen show it.
namespace PipelineProblems {

// Why it cannot start (`reasons`, each an error of its process's group or of
// the whole pipeline), then `lint` (the linter's problems of its file). Each
// carries the index of the process it concerns, -1 for none. `path` names the file.
QList<ConfigProblem> merged(const PipelineConfig& pipeline, const QString& path,
                            const QList<ValidationProblem>& reasons,
                            const QList<ConfigProblem>& lint);

// The same for a screen: one map per problem, the pipeline's own first, then
// process by process in order, each process's errors before its warnings;
// each has processIndex, process ("process-1 (lighttpd)", empty for the
// pipeline's own), severity ("error", "warning") and text (without the
// process's group).
QVariantList shown(const PipelineConfig& pipeline, QList<ConfigProblem> problems);

} // namespace PipelineProblems
