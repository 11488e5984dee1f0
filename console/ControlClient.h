#pragma once

#include "ExitCode.h"

#include <QString>

class Backend;

// The commands that talk to the running launcher of this user through its
// control socket. Each ends with ExitCode::NoLauncher when none answers.
namespace ControlClient {

ExitCode status(bool json);
// A negative timeout leaves it to the launcher (its stop timeout).
ExitCode stop(double timeoutSeconds);
ExitCode start(const QString& name);
ExitCode cancel();
// Has the launcher read its files again; 1 when one of them does not read.
ExitCode reload();
// Prints the launcher's metrics as it gives them (Prometheus text format).
ExitCode metrics();
// Restarts process `index` of the running application `name`.
ExitCode restart(const QString& name, int index);
// Today's log of the application NAME, or of the one that runs when NAME is
// empty; the last lines only when lines >= 0; follow waits for more like tail -f.
ExitCode logs(Backend& backend, const QString& name, bool follow, int lines);

} // namespace ControlClient
