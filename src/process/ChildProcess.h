#pragma once

#include <QProcess>
#include <QStringList>

#include <sys/types.h>

// One child of the launcher. It leads a process group of its own, dies with
// the launcher, reads nothing from the launcher (its standard input is
// /dev/null) and writes its standard output and error into one channel. The
// group lets the launcher stop everything that the child starts, and keeps a
// terminal's Ctrl+C away from the children.
//
// The child starts clean whatever the launcher inherited: every signal at its
// default and none blocked, no descriptor open but its standard three.
class ChildProcess : public QProcess
{
    Q_OBJECT

public:
    explicit ChildProcess(QObject* parent = nullptr);
    // A child still running is killed with its group and reaped, silently.
    ~ChildProcess() override;

    // True while a ChildProcess of this launcher owns the child with this pid:
    // its exit belongs to that object, nobody else may reap it.
    static bool isOwned(qint64 pid);

    // Hides QProcess's overloads, so that every start goes through here. A
    // bare name is looked up in the launcher's PATH. started() or
    // errorOccurred(FailedToStart) follows from the event loop.
    void start(const QString& program, const QStringList& arguments);

    // The child's pid from its fork on, kept after it has ended (processId()
    // is 0 from the end on); 0 before a start.
    qint64 pid() const { return m_pid; }

    // Why the start failed, in words: the system's reason, and for a program
    // that exists yet "does not", the interpreter that its first line names.
    QString startFailure() const;
    // The arguments as the log lines show them, joined with one space; a long
    // one is cut and says its length, and so is a long list.
    static QString shownArguments(const QStringList& arguments);

    // Sends the signal to the child's whole group (to the child alone while it
    // has not made its group yet). Nothing happens once the child was reaped.
    void signalGroup(int signal);

protected:
    // Runs in the child between fork and exec: async-signal-safe calls only.
    void setupChildProcess() override;

private:
    pid_t m_launcherPid = 0;
    qint64 m_pid = 0;
    // The signals that the launcher ignores or catches, bit n - 1 for signal n.
    quint64 m_signalsToReset = ~quint64(0);
    // Where the kernel cannot mark every descriptor close-on-exec at once,
    // the child marks them one by one below this limit.
    int m_descriptorLimit = 0;
};
