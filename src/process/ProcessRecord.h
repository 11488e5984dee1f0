#pragma once

#include "support/RuntimeFolder.h"
#include "support/SafeFolder.h"

#include <QMap>
#include <QString>

// A small file per launcher that names the processes of its running pipeline
// (pid and start time), so that a launcher started after one that died
// (SIGKILL, a crash, the power pulled) can stop what that one left behind.
// The files live in the launcher's runtime folder (RuntimeFolder). Only a
// regular file of this user's own is read as a record or replaced by one.
class ProcessRecord
{
public:
    // The folder is taken from the environment now, looked up when first used.
    ProcessRecord();

    // Replaces this launcher's record atomically; false (and a trace warning,
    // once until the next remove()) when it cannot be written.
    bool write(const QMap<qint64, quint64>& processes);
    // Removes what write() wrote.
    void remove();

    // Stops the processes that launchers which have ended recorded, where the
    // pid still names the recorded process (its start time matches) and
    // belongs to this user: terminated first, killed after the grace. Never
    // pid 1 or below, this launcher, its process group or session, nor any of
    // its ancestors. Their records are removed. Returns the number of
    // processes stopped.
    int cleanUpAfterEndedLaunchers(int graceMs) const;

private:
    static QString fileName();
    QString filePath() const;

    RuntimeFolder m_runtimeFolder;
    SafeFolder m_folder; // opened at the first write after a remove(), and when it went
    bool m_written = false;
    bool m_warned = false;
};
