#pragma once

#include <csignal>

// The console's exit statuses. A run stopped by a signal ends with the status
// that shells report for that signal, so that a service manager can tell a
// stop on SIGTERM from a failure.
enum class ExitCode : int
{
    Normal = 0,     // the pipeline finished normally, or there was nothing to run
    Failure = 1,    // it failed, its start was refused, or check found a problem
    Usage = 2,      // a bad command line, an unknown application included
    NoLauncher = 3, // a command for the running launcher, and none runs
    Hangup = 128 + SIGHUP,
    Interrupted = 128 + SIGINT,
    Terminated = 128 + SIGTERM,
};

// For one of the signals that stop a run: SIGHUP, SIGINT or SIGTERM.
inline ExitCode exitCodeForSignal(int signal)
{
    return ExitCode(128 + signal);
}
