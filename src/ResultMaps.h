#pragma once

#include "PipelineController.h"

#include <QStringList>
#include <QVariantList>
#include <QVariantMap>

#include <optional>

// How the last pipeline ended, as a QML front end is given it
// (Backend::lastResultMap(), Backend::failureLog()).
namespace ResultMaps {

// Empty before any pipeline has finished.
QVariantMap lastResult(const std::optional<PipelineController::Result>& result);
// The lines of `tail` from the failing process's first on, each marked as
// whose it is.
QVariantList failureLog(const QStringList& tail,
                        const std::optional<PipelineController::Result>& result);

} // namespace ResultMaps
