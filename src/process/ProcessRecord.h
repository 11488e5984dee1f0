#pragma once

#include <QMap>
#include <QString>

// A small file per launcher that names the processes of its running pipeline
// (pid and start time), so that a launcher started after one that died
// (SIGKILL, a crash, the power pulled) can stop what that one left behind.
// The files live in $XDG_RUNTIME_DIR/Orvalen/launcher, or in the per-user
// data folder's "run" folder when there is no runtime folder.
class ProcessRecord
{
public:
    // The folder is taken from the environment now.
    ProcessRecord();

    QString folder() const { return m_folder; }
    QString filePath() const;

    // Replaces this launcher's record atomically; false (and a trace warning,
    // once until the next remove()) when it cannot be written.
    bool write(const QMap<qint64, quint64>& processes);
    // Removes what write() wrote.
    void remove();

    // Stops the processes that launchers which have ended recorded, where the
    // pid still names the recorded process (its start time matches) and
    // belongs to this user: terminated first, killed after the grace. Their
    // records are removed. Returns the number of processes stopped.
    int cleanUpAfterEndedLaunchers(int graceMs) const;

private:
    QString m_folder;
    bool m_written = false;
    bool m_warned = false;
};
