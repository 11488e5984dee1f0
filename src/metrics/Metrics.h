#pragma once

#include "PipelineController.h"

#include <QByteArray>
#include <QMap>
#include <QObject>
#include <QPair>
#include <QString>

// The launcher's numbers for a fleet's monitoring, in the Prometheus text
// exposition format 0.0.4. Counted from the controller's signals as things
// happen; the gauges that change by themselves (memory) are read only when
// the text is asked for, so an idle launcher does nothing for it. Counters
// are kept per application and process index for the launcher's whole life:
// a new run, a reload or another application never sets them back.
class Metrics : public QObject
{
    Q_OBJECT

public:
    explicit Metrics(PipelineController* controller, QObject* parent = nullptr);

    // The application that launcher.ini starts by itself; empty for none.
    void setAutostartApplication(const QString& basename) { m_autostart = basename; }
    // Every family, each with its help and type; the same text for every reader.
    QByteArray text();
    // A label value as the format requires: backslash, double quote and line
    // feed escaped.
    static QString escapeLabelValue(const QString& value);

private:
    class Writer;
    // What the families say of one process of an application, kept for the
    // launcher's whole life.
    struct ProcessCounts
    {
        QString name;
        bool up = false;
        bool givenUp = false;
        qint64 memoryMax = 0;
        qint64 restarts = 0;
        qint64 crashes = 0;
        qint64 hangs = 0;
        qint64 memoryCapStops = 0;
        // The counts of the current process object, as last taken over.
        ProcessStatus seen;
    };
    struct ApplicationCounts
    {
        QMap<int, ProcessCounts> processes;
        qint64 lastStart = 0; // Unix seconds; 0 before a start reached Running
        qint64 logBytes = 0;
        qint64 logLinesLost = 0;
    };

    void onPhaseChanged(PipelineController::Phase phase);
    void onPipelineFailure(const QString& basename,
                           PipelineController::PipelineFailureReason reason);
    // Takes over what the controller says of the current pipeline's processes.
    void takeStatus(const ProcessStatus& status);
    void takeAll();
    // The application that runs, as the controller says (as
    // Backend::runningApplication() does); empty when none does.
    QString running() const;
    // What the logs wrote and lost since the last look goes to `app`, whose
    // log it was: every change of pipeline is looked at.
    void takeLogCounts(const QString& app);
    // The families of the processes (memory: of those that run now, by
    // index), then those of the pipelines.
    void writeProcesses(Writer& out, const QMap<int, qint64>& memory,
                        const QMap<int, qint64>& unreclaimable) const;
    void writePipelines(Writer& out) const;

    PipelineController* m_controller;
    QString m_autostart;
    PipelineController::Phase m_phase = PipelineController::Phase::Idle;
    QMap<QString, ApplicationCounts> m_applications;
    // By application and the reason's name.
    QMap<QPair<QString, QString>, qint64> m_failures;
    // The controller's log counts at the last look.
    qint64 m_logBytesSeen = 0;
    qint64 m_logLinesLostSeen = 0;
};
