#pragma once

#include "PipelineController.h"

#include <QMetaEnum>
#include <QString>

#include <type_traits>

// The word for a pipeline's phase ("idle", "starting", "running", "stopping",
// "finished") or the outcome of its run ("normal", "failed", "stopped"), as
// the screen, the control socket, the metrics and the console show it: the
// value's name in lower case.
template <typename Enum>
QString pipelineWord(Enum value)
{
    static_assert(std::is_same_v<Enum, PipelineController::Phase> ||
                      std::is_same_v<Enum, PipelineController::Outcome>,
                  "a phase or an outcome");
    return QString::fromLatin1(QMetaEnum::fromType<Enum>().valueToKey(int(value))).toLower();
}
