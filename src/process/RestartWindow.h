#pragma once

#include "PipelineConfig.h"

#include <QList>
#include <QString>

// The ends of a process that count against its restart window: a restart
// follows an end unless the window's limit of ends, that one counted, fell
// within its period; the delay before it doubles with each end in the
// window. Times are on a clock that a step of the wall clock does not move.
class RestartWindow
{
public:
    // The configuration is read at each use; it outlives the window.
    explicit RestartWindow(const ProcessConfig& config) : m_config(&config) {}

    // The window with one more end, at nowMs, and what it was in words
    // ("crashed"): only the ends that can still count are kept, the limit's
    // number of the newest, none older than the period.
    RestartWindow with(const QString& what, qint64 nowMs) const;
    // No restart follows at nowMs: an age of 10.9 s is inside a period of
    // 10 s, one of 11 s outside.
    bool isFull(qint64 nowMs) const;
    // The delay of the next restart; a maximum below the delay itself does
    // not shorten the first one.
    int delaySeconds() const;
    // What the full window holds, each kind said once: "crashed or was hung
    // 3 times within 10 s: not restarted again".
    QString givenUpWords() const;
    // The ends in the window that were `what`.
    int count(const QString& what) const;
    void clear() { m_ends.clear(); }

private:
    struct End
    {
        qint64 atMs;
        QString what;
    };

    const ProcessConfig* m_config;
    QList<End> m_ends;
};
