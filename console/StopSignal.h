#pragma once

#include "ExitCode.h"

#include <QString>

#include <sys/types.h>

// A signal that stops a run or a countdown (SIGINT, SIGTERM or SIGHUP) and
// who sent it, in the words that the console's output, and with it a
// service's journal, gives it. Only Ctrl+C is an interrupt; a SIGTERM of the
// service manager (systemctl stop, a shutdown, an upgrade) says so, and any
// other signal goes by its name.
class StopSignal
{
public:
    StopSignal() = default;
    // `sender`: the pid that sent it; 0 when the kernel did or none is known.
    StopSignal(int number, pid_t sender);

    bool isNull() const { return m_number == 0; }
    ExitCode exitCode() const { return exitCodeForSignal(m_number); }
    // What stopped the run: "an interrupt", "the service manager (SIGTERM)", "SIGHUP".
    QString cause() const;
    // How the lines that it leads to begin: "Interrupted", "SIGTERM from the
    // service manager", "SIGHUP".
    QString heading() const;

private:
    QString name() const;

    int m_number = 0;
    bool m_fromServiceManager = false;
};
