#pragma once

#include <QMap>
#include <QObject>
#include <QSet>
#include <QTimer>

// Keeps track of everything that a pipeline's processes start, so that it can
// be stopped with the pipeline: the process groups of the pipeline's children,
// and the descendants that left those groups (setsid, the double fork of
// daemonising tools). The launcher is the child subreaper of its descendants,
// so orphans come to it; this class reaps them. It never reaps a pid that a
// ChildProcess owns, so that object's exit reporting stays intact.
class ProcessReaper : public QObject
{
    Q_OBJECT

public:
    explicit ProcessReaper(QObject* parent = nullptr);
    // Kills everything that is left and reaps it.
    ~ProcessReaper() override;

    // A pipeline child was started; it leads a process group of its own.
    void addGroup(qint64 leaderPid);
    // Every group, and every known descendant outside them. From a kill on,
    // descendants found later are killed too.
    void signalAll(int signal);
    // Before a new pipeline starts: kills at once what the last one left.
    void killLeftovers();
    // After the pipeline: asks what is left to terminate and kills it after
    // the grace (at once when the pipeline was already being killed).
    void stopLeftovers(int graceMs);
    // Kills and reaps for at most the given time, without the event loop
    // (children that ChildProcess objects own are theirs to reap); true when
    // nothing is left.
    bool killAndReap(int timeoutMs);
    bool isEmpty() const { return m_groups.isEmpty() && m_processes.isEmpty(); }
    // Every live process of the pipeline as pid and start time, as of the last look.
    const QMap<qint64, quint64>& processes() const { return m_processes; }

signals:
    // processes() or isEmpty() changed.
    void processesChanged();

private:
    void scan();
    void collect(qint64 pid, QMap<qint64, quint64>& found) const;
    void signalProcess(qint64 pid, quint64 startTime, int signal) const;

    QSet<qint64> m_groups;
    QMap<qint64, quint64> m_processes;
    bool m_killing = false;
    QTimer m_scanTimer;
    QTimer m_killTimer;
};
