#include "metrics/Metrics.h"

#include "PipelineWords.h"
#include "support/Version.h"

#include <QDateTime>
#include <QMetaEnum>

#include <algorithm>
#include <iterator>

namespace {

// The phases in which the pipeline runs.
const PipelineController::Phase RunningPhases[] = {PipelineController::Phase::Starting,
                                                   PipelineController::Phase::Running,
                                                   PipelineController::Phase::Stopping};

bool isRunningPhase(PipelineController::Phase phase)
{
    return std::find(std::begin(RunningPhases), std::end(RunningPhases), phase) !=
           std::end(RunningPhases);
}

bool instanceRuns(ProcessStatus::State state)
{
    return state == ProcessStatus::State::WaitingForReadiness ||
           state == ProcessStatus::State::Running || state == ProcessStatus::State::Stopping;
}

// A count of the current process object since it was last taken over; a new
// object (a new run) starts again from 0.
qint64 added(int now, int seen)
{
    return now >= seen ? now - seen : now;
}

} // namespace

// Writes the families one after the other: each begins with its help and type.
class Metrics::Writer
{
public:
    void family(const char* name, const char* type, const char* help)
    {
        m_text += QStringLiteral("# HELP %1 %2\n# TYPE %1 %3\n")
                      .arg(QLatin1String(name), QLatin1String(help), QLatin1String(type));
        m_name = QLatin1String(name);
    }
    // labels: name, value, name, value...
    void sample(const QStringList& labels, qint64 value)
    {
        m_text += m_name;
        if (!labels.isEmpty()) {
            m_text += QLatin1Char('{');
            for (int i = 0; i + 1 < labels.size(); i += 2) {
                if (i > 0)
                    m_text += QLatin1Char(',');
                m_text += labels.at(i) + QStringLiteral("=\"") +
                          Metrics::escapeLabelValue(labels.at(i + 1)) + QLatin1Char('"');
            }
            m_text += QLatin1Char('}');
        }
        m_text += QLatin1Char(' ') + QString::number(value) + QLatin1Char('\n');
    }
    QByteArray text() const { return m_text.toUtf8(); }

private:
    QString m_text;
    QString m_name;
};

Metrics::Metrics(PipelineController* controller, QObject* parent)
    : QObject(parent), m_controller(controller)
{
    connect(controller, &PipelineController::processStatusChanged, this, [this](int index) {
        const QList<ProcessStatus> statuses = m_controller->processStatuses();
        if (index >= 0 && index < statuses.size())
            takeStatus(statuses.at(index));
    });
    connect(controller, &PipelineController::phaseChanged, this, &Metrics::onPhaseChanged);
    connect(controller, &PipelineController::pipelineFailure, this, &Metrics::onPipelineFailure);
}

QString Metrics::escapeLabelValue(const QString& value)
{
    QString escaped;
    escaped.reserve(value.size());
    for (const QChar c : value) {
        if (c == QLatin1Char('\\'))
            escaped += QLatin1String("\\\\");
        else if (c == QLatin1Char('"'))
            escaped += QLatin1String("\\\"");
        else if (c == QLatin1Char('\n'))
            escaped += QLatin1String("\\n");
        else
            escaped += c;
    }
    return escaped;
}

void Metrics::onPhaseChanged(PipelineController::Phase phase)
{
    const QString app = m_controller->pipelineConfig().basename;
    takeLogCounts(app);
    if (phase == PipelineController::Phase::Starting && m_phase != phase && !app.isEmpty()) {
        // A new run (or the daily restart) begins with new process objects.
        ApplicationCounts& record = m_applications[app];
        for (ProcessCounts& process : record.processes) {
            process.seen = ProcessStatus();
            process.up = false;
        }
    }
    if (phase == PipelineController::Phase::Running && !app.isEmpty())
        m_applications[app].lastStart = m_controller->startedAt().toSecsSinceEpoch();
    m_phase = phase;
    if (isRunningPhase(phase) && !app.isEmpty())
        m_applications[app]; // listed from its start on
    takeAll();
}

QString Metrics::running() const
{
    return m_controller->state() == PipelineController::Running
               ? m_controller->pipelineConfig().basename
               : QString();
}

void Metrics::onPipelineFailure(const QString& basename,
                                PipelineController::PipelineFailureReason reason)
{
    const QMetaEnum reasons = QMetaEnum::fromType<PipelineController::PipelineFailureReason>();
    ++m_failures[{basename, QLatin1String(reasons.valueToKey(reason))}];
    // A refused pipeline's lines are its own.
    takeLogCounts(basename);
}

void Metrics::takeLogCounts(const QString& app)
{
    // A pipeline without a name (a front end's own) has no label to count under.
    if (app.isEmpty())
        return;
    ApplicationCounts& record = m_applications[app];
    const qint64 bytes = m_controller->logBytesWritten();
    const qint64 lost = m_controller->logLinesLost();
    record.logBytes += bytes - m_logBytesSeen;
    record.logLinesLost += lost - m_logLinesLostSeen;
    m_logBytesSeen = bytes;
    m_logLinesLostSeen = lost;
}

void Metrics::takeStatus(const ProcessStatus& status)
{
    const PipelineConfig& pipeline = m_controller->pipelineConfig();
    if (pipeline.basename.isEmpty())
        return;
    ProcessCounts& process = m_applications[pipeline.basename].processes[status.index];
    process.name = status.name;
    process.up = instanceRuns(status.state);
    process.givenUp = status.givenUp;
    if (status.index >= 0 && status.index < pipeline.processList.size())
        process.memoryMax = pipeline.processList.at(status.index).memoryMax;
    process.restarts += added(status.restarts, process.seen.restarts);
    process.crashes += added(status.crashes, process.seen.crashes);
    process.hangs += added(status.hangs, process.seen.hangs);
    process.memoryCapStops += added(status.memoryCapStops, process.seen.memoryCapStops);
    process.seen = status;
}

void Metrics::takeAll()
{
    if (m_controller->pipelineConfig().basename.isEmpty())
        return;
    takeLogCounts(m_controller->pipelineConfig().basename);
    for (const ProcessStatus& status : m_controller->processStatuses())
        takeStatus(status);
}

QByteArray Metrics::text()
{
    takeAll();
    // Memory is looked at now, and only for what runs.
    QMap<int, qint64> memory;
    QMap<int, qint64> unreclaimable;
    if (!running().isEmpty()) {
        for (const ProcessStatus& status : m_controller->processStatuses(true)) {
            if (instanceRuns(status.state) && status.memory >= 0)
                memory.insert(status.index, status.memory);
            if (instanceRuns(status.state) && status.unreclaimableMemory >= 0)
                unreclaimable.insert(status.index, status.unreclaimableMemory);
        }
    }

    Writer out;
    out.family("launcher_build_info", "gauge", "The launcher's version; always 1.");
    out.sample({"version", LauncherSupport::version()}, 1);
    out.family("launcher_autostart_info", "gauge",
               "1 for the application that launcher.ini starts by itself.");
    if (!m_autostart.isEmpty())
        out.sample({"app", m_autostart}, 1);
    writeProcesses(out, memory, unreclaimable);
    writePipelines(out);
    return out.text();
}

void Metrics::writeProcesses(Writer& out, const QMap<int, qint64>& memory,
                             const QMap<int, qint64>& unreclaimable) const
{
    // One family of each process's value, application by application.
    using Value = qint64 (*)(const ProcessCounts&);
    const auto perProcess = [&](const char* name, const char* type, const char* help, Value value,
                                bool (*shown)(const ProcessCounts&)) {
        out.family(name, type, help);
        for (auto app = m_applications.cbegin(); app != m_applications.cend(); ++app)
            for (auto p = app->processes.cbegin(); p != app->processes.cend(); ++p)
                if (!shown || shown(p.value()))
                    out.sample({"app", app.key(), "process", QString::number(p.key())},
                               value(p.value()));
    };
    out.family("launcher_process_info", "gauge", "1 for each process, with its shown name.");
    for (auto app = m_applications.cbegin(); app != m_applications.cend(); ++app)
        for (auto p = app->processes.cbegin(); p != app->processes.cend(); ++p)
            out.sample({"app", app.key(), "process", QString::number(p.key()), "name", p->name}, 1);
    perProcess(
        "launcher_process_up", "gauge", "1 while an instance of the process runs.",
        [](const ProcessCounts& p) -> qint64 { return p.up; }, nullptr);
    perProcess(
        "launcher_process_given_up", "gauge",
        "1 once the process was given up: its restart limit reached, or a daemon "
        "that could not be started.",
        [](const ProcessCounts& p) -> qint64 { return p.givenUp; }, nullptr);
    perProcess(
        "launcher_process_restarts_total", "counter", "Restarts of the process.",
        [](const ProcessCounts& p) { return p.restarts; }, nullptr);
    perProcess(
        "launcher_process_crashes_total", "counter",
        "Ends of the process by a signal or by an exit code to restart.",
        [](const ProcessCounts& p) { return p.crashes; }, nullptr);
    perProcess(
        "launcher_process_hangs_total", "counter",
        "Times the process was found hung (watchdog, alive check).",
        [](const ProcessCounts& p) { return p.hangs; }, nullptr);
    perProcess(
        "launcher_process_memory_cap_stops_total", "counter",
        "Stops of the process for going over its memory cap.",
        [](const ProcessCounts& p) { return p.memoryCapStops; }, nullptr);
    // A gauge of what runs now, by process.
    const auto perRunningProcess = [&](const char* name, const char* help,
                                       const QMap<int, qint64>& values) {
        out.family(name, "gauge", help);
        for (auto m = values.cbegin(); m != values.cend(); ++m)
            out.sample({"app", running(), "process", QString::number(m.key())}, m.value());
    };
    // Kept beside the figure that memory-max counts: dashboards read it.
    perRunningProcess("launcher_process_resident_memory_bytes",
                      "All the memory that the running process and its descendants map, clean "
                      "file pages included (proportional set size); not what memory-max counts.",
                      memory);
    perRunningProcess("launcher_process_unreclaimable_memory_bytes",
                      "Memory of the running process and its descendants that the kernel cannot "
                      "take back: anonymous and shared memory and swap, not clean file pages "
                      "(Pss_Anon + Pss_Shmem + SwapPss); what memory-max counts.",
                      unreclaimable);
    perProcess(
        "launcher_process_memory_max_bytes", "gauge", "The memory cap of the process.",
        [](const ProcessCounts& p) { return p.memoryMax; },
        [](const ProcessCounts& p) { return p.memoryMax > 0; });
}

void Metrics::writePipelines(Writer& out) const
{
    out.family("launcher_pipeline_running", "gauge",
               "1 for the application that runs, 0 for one that ran and ended.");
    for (auto app = m_applications.cbegin(); app != m_applications.cend(); ++app)
        out.sample({"app", app.key()}, app.key() == running());
    out.family("launcher_pipeline_phase", "gauge", "1 for the phase of the application that runs.");
    if (!running().isEmpty()) {
        for (const PipelineController::Phase phase : RunningPhases)
            out.sample({"app", running(), "phase", pipelineWord(phase)},
                       phase == m_controller->phase());
    }
    out.family("launcher_pipeline_failures_total", "counter",
               "Failures of the application, by reason.");
    for (auto f = m_failures.cbegin(); f != m_failures.cend(); ++f)
        out.sample({"app", f.key().first, "reason", f.key().second}, f.value());
    out.family("launcher_pipeline_last_start_timestamp_seconds", "gauge",
               "Unix time of the application's last start that reached running.");
    for (auto app = m_applications.cbegin(); app != m_applications.cend(); ++app)
        if (app->lastStart > 0)
            out.sample({"app", app.key()}, app->lastStart);
    out.family("launcher_log_bytes_written_total", "counter",
               "Bytes written to the application's log files.");
    for (auto app = m_applications.cbegin(); app != m_applications.cend(); ++app)
        out.sample({"app", app.key()}, app->logBytes);
    out.family("launcher_log_lines_lost_total", "counter",
               "Lines of the application's log that could not be written or were dropped.");
    for (auto app = m_applications.cbegin(); app != m_applications.cend(); ++app)
        out.sample({"app", app.key()}, app->logLinesLost);
}
