#pragma once

#include <QByteArray>
#include <QObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>

#include <sys/types.h>

class QSocketNotifier;
class QTimer;

// One child of the launcher. It leads a process group of its own, dies with
// the launcher, reads nothing from the launcher (its standard input is
// /dev/null) and writes its standard output and error into one pipe. The
// group lets the launcher stop everything that the child starts, and keeps a
// terminal's Ctrl+C away from the children.
//
// The child is spawned the way posix_spawn does it: it borrows the launcher's
// memory until it has called exec, so no page of a large launcher is copied
// or write-protected for a process that is about to replace itself. Its end
// is watched through a pidfd. Signals and states are those of QProcess.
class ChildProcess : public QObject
{
    Q_OBJECT

public:
    explicit ChildProcess(QObject* parent = nullptr);
    // A child still running is killed and reaped.
    ~ChildProcess() override;

    // True while a ChildProcess of this launcher owns the child with this pid:
    // its exit belongs to that object, nobody else may reap it.
    static bool isOwned(qint64 pid);

    // Kernels before 5.3 have no pidfd; their children's ends are then polled
    // for. Tests turn pidfds off to run that path.
    static void setPidFdEnabled(bool enabled);

    void setWorkingDirectory(const QString& directory) { m_workingDirectory = directory; }
    void setProcessEnvironment(const QProcessEnvironment& environment)
    {
        m_environment = environment;
    }

    // A bare name is looked up in the launcher's PATH. started() or
    // errorOccurred(FailedToStart) follows from the event loop.
    void start(const QString& program, const QStringList& arguments);

    QProcess::ProcessState state() const { return m_state; }
    qint64 processId() const { return m_pid; }
    QString program() const { return m_program; }
    QStringList arguments() const { return m_arguments; }
    QString errorString() const { return m_errorString; }

    QByteArray readAllStandardOutput();

    // Blocks until the child has ended and its end was reported; false when
    // it still runs after msecs.
    bool waitForFinished(int msecs);

    // Sends the signal to the child's whole group (to the child alone should
    // the group be gone). Nothing happens once the child was reaped.
    void signalGroup(int signal);

signals:
    void started();
    void readyReadStandardOutput();
    void finished(int exitCode, QProcess::ExitStatus exitStatus);
    void errorOccurred(QProcess::ProcessError error);

private:
    void onOutputReadable();
    void onEndMayHaveCome();
    bool reapIfEnded(bool block);
    bool readOutput();
    void closeOutput();
    void stopWatchingEnd();
    void reportStartFailure(const QString& what, int error);

    QString m_workingDirectory;
    QProcessEnvironment m_environment;
    QString m_program;
    QStringList m_arguments;
    QString m_errorString;
    QProcess::ProcessState m_state = QProcess::NotRunning;
    qint64 m_pid = 0;
    int m_outputFd = -1;
    int m_pidFd = -1;
    QByteArray m_output;
    // Children of this object, retired with deleteLater(): each may be the
    // sender of the notification that ends it.
    QSocketNotifier* m_outputNotifier = nullptr;
    QSocketNotifier* m_endNotifier = nullptr;
    QTimer* m_endPoll = nullptr;
};
