#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QHash>
#include <QMap>
#include <QObject>
#include <QPair>
#include <QSet>
#include <QTimer>

// Keeps track of everything that a pipeline's processes start, so that it can
// be stopped with the pipeline, or with the instance of a process that
// started it: the process group of each instance, and the descendants that
// left it (setsid, the double fork of daemonising tools). The launcher is the
// child subreaper of its descendants, so orphans come to it, and this class
// reaps them. An orphan counts as the pipeline's only when it was seen below
// one of its instances, is in one of their groups, or names one of them in its
// environment: what a front end starts of its own is never touched. Each
// group and process is asked to terminate once; kills are not rationed. It
// never reaps a pid that a ChildProcess owns, so that object's exit reporting
// stays intact. It alone owns "ask, then kill": of an instance's stop
// (stopInstance()) and of a pipeline's (stopAll(), killAll()).
class ProcessReaper : public QObject
{
    Q_OBJECT

public:
    // How long a kill waits for the ends before stuck() says it was in vain:
    // they follow at once, unless a process hangs in the kernel.
    static constexpr int KillWaitMs = 3000;

    // The variable that names a child's instance in its environment, and so in
    // the environment of everything it starts that keeps it.
    static const char* const InstanceVariable;

    explicit ProcessReaper(QObject* parent = nullptr);
    // Kills everything that is left and reaps it.
    ~ProcessReaper() override;

    // The value of InstanceVariable for the next instance to start.
    QByteArray nextInstanceTag();
    // An instance was started with that tag; it leads a process group of its own.
    void addGroup(qint64 leaderPid, const QByteArray& tag = QByteArray());
    // The signal to one instance's group, or to its leader alone while the
    // group is not made yet. A group is asked to terminate only once.
    void signalGroup(qint64 leaderPid, int signal);
    // The pipeline's stop: every group and every known descendant is asked
    // to terminate now (each once), and everything is killed once the grace
    // is over (never for a negative one), which overdue() tells. Asking
    // again asks only what was not asked yet and keeps an earlier deadline;
    // after the kill it kills what has shown up since. The stop is over once
    // nothing is left.
    void stopAll(int graceMs);
    // The pipeline's stop without asking: everything is killed now. From a
    // kill on, descendants found later are killed too, and stuck() tells when
    // something still runs KillWaitMs later.
    void killAll();
    // A stop has killed and nothing is left yet.
    bool isKilling() const { return m_stop == Stop::Killed; }
    // An instance and what it started, or what an instance that has ended
    // left running: asked to terminate now, killed after the grace (asking
    // again keeps the first deadline; during the pipeline's stop, that stop's
    // deadline is the one). True when nothing is left; otherwise
    // instanceGone() tells when it is.
    bool stopInstance(qint64 leaderPid, int graceMs);
    // Before a new pipeline starts: kills at once what the last one left.
    void killLeftovers();
    // True when nothing of the pipeline runs; otherwise cleared() tells when
    // nothing does. Those who stop it signal it themselves.
    bool awaitCleared();
    // Kills and reaps for at most the given time, without the event loop
    // (children that ChildProcess objects own are theirs to reap); true when
    // nothing is left.
    bool killAndReap(int timeoutMs);
    bool isEmpty() const { return m_groups.isEmpty() && m_processes.isEmpty(); }
    // Every live process of the pipeline as pid and start time, as of the last look.
    QMap<qint64, quint64> processes() const;
    // The live processes of one instance, as of the last look: its leader, its
    // group and what it started.
    QList<qint64> instanceProcesses(qint64 leaderPid) const;

signals:
    // processes() or isEmpty() changed.
    void processesChanged();
    void instanceGone(qint64 leaderPid);
    // Nothing of the pipeline runs any more, after awaitCleared() said it did.
    void cleared();
    // The grace of stopAll() is over: everything was killed just now.
    void overdue();
    // Something of the pipeline still runs KillWaitMs after a kill (a
    // process stuck in the kernel).
    void stuck();

private:
    struct Tracked
    {
        quint64 startTime = 0;
        qint64 root = 0; // the leader of the instance it descends from
        bool operator==(const Tracked& other) const
        {
            return startTime == other.startTime && root == other.root;
        }
    };
    using ProcessKey = QPair<qint64, quint64>; // pid and start time

    void scan();
    qint64 rootOfOrphan(qint64 pid, qint64 groupId, quint64 startTime);
    void collect(qint64 pid, qint64 root, QMap<qint64, Tracked>& found) const;
    void signalProcess(qint64 pid, quint64 startTime, int signal);
    void signalInstance(qint64 leaderPid, int signal);
    bool instanceLeft(qint64 leaderPid);
    void checkStoppingInstances();
    void checkCleared();
    void forgetGroup(qint64 leaderPid);
    // Every group, and every known descendant outside them. From a kill on,
    // descendants found later are killed too.
    void signalAll(int signal);
    void onStopDeadline();
    void endStopWhenEmpty();

    enum class Stop
    {
        None,
        Asked,  // every group and descendant asked to terminate; killed at the deadline
        Killed, // killed; stuck() at the deadline
    };

    QSet<qint64> m_groups;
    QHash<QByteArray, qint64> m_tags; // by tag, the leader of the instance
    QMap<qint64, Tracked> m_processes;
    // Orphans looked at and found not to be the pipeline's.
    QSet<ProcessKey> m_strangers;
    // Asked to terminate already.
    QSet<qint64> m_terminatedGroups;
    QSet<ProcessKey> m_terminatedProcesses;
    // Instances whose leftovers are being stopped: by leader, when to kill them.
    QHash<qint64, QDeadlineTimer> m_stoppingInstances;
    quint64 m_nextTag = 0;
    bool m_killing = false;
    bool m_awaitingClear = false;
    Stop m_stop = Stop::None;
    // The pipeline's stop: the kill while asked, the wait for the ends once killed.
    QTimer m_stopDeadline;
    QTimer m_scanTimer;
    // While an instance's leftovers are being stopped, or a pipeline's end
    // waits for what it left, a closer look.
    QTimer m_instanceTimer;
};
