#pragma once

#include <QString>

namespace LauncherSupport {

// The launcher's version, as its --version, the metrics and the control
// socket give it.
QString version();

} // namespace LauncherSupport
