#pragma once

#include <QProcess>

#include <sys/types.h>

// A QProcess whose child leads a process group of its own, dies with the
// launcher, and reads nothing from the launcher: its standard input is
// /dev/null. The group lets the launcher stop everything that the child
// starts, and keeps a terminal's Ctrl+C away from the children.
class ChildProcess : public QProcess
{
    Q_OBJECT

public:
    explicit ChildProcess(QObject* parent = nullptr);
    ~ChildProcess() override;

    // True while a ChildProcess of this launcher owns the child with this pid:
    // its exit belongs to that object, nobody else may reap it.
    static bool isOwned(qint64 pid);

    // Sends the signal to the child's whole group (to the child alone while it
    // has not made its group yet). Nothing happens once the child was reaped.
    void signalGroup(int signal);

protected:
    // Runs in the child between fork and exec: async-signal-safe calls only.
    void setupChildProcess() override;

private:
    pid_t m_launcherPid;
};
