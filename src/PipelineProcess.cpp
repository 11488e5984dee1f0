#include "PipelineProcess.h"

#include "support/LauncherSupport.h"

#include <QFileInfo>

#include <cmath>
#include <csignal>
#include <limits>

using LauncherSupport::enumName;
using LauncherSupport::launcherPid;

namespace {

// Seconds truncated toward zero into an int, saturating where a skewed clock
// would otherwise overflow the conversion.
int truncatedSeconds(double seconds)
{
    const double whole = std::trunc(seconds);
    if (whole >= double(std::numeric_limits<int>::max()))
        return std::numeric_limits<int>::max();
    if (whole <= double(std::numeric_limits<int>::min()))
        return std::numeric_limits<int>::min();
    return int(whole);
}

} // namespace

PipelineProcess::PipelineProcess(QObject* parent, const ProcessConfig& config)
    : QObject(parent), m_config(config)
{
}

PipelineProcess::~PipelineProcess()
{
    // Nothing of this half-destroyed object (nor of a controller being torn
    // down with it) may receive the end notifications of a child killed here.
    // Killed and reaped here, the child leaves nothing behind, and QProcess
    // has no running child to warn about.
    if (m_process && m_process->state() != QProcess::NotRunning) {
        m_process->blockSignals(true);
        m_process->signalGroup(SIGKILL);
        m_process->waitForFinished(5000);
    }
}

void PipelineProcess::start()
{
    if (m_process) {
        // A restart runs inside the old child's own end notification, so the old
        // object is released only once that delivery has returned. Parenting it
        // here still frees it should this object go first.
        QProcess* previous = m_process.release();
        previous->disconnect(this);
        previous->setParent(this);
        previous->deleteLater();
    }

    m_process = std::make_unique<ChildProcess>();
    ChildProcess* process = m_process.get();
    process->setProcessChannelMode(QProcess::MergedChannels);
    connect(process, &QProcess::readyReadStandardOutput, this,
            &PipelineProcess::readyReadStandardOutput);
    process->setProcessEnvironment(buildEnvironment(m_config));

    // The relays come first, so their receivers see a start or end before this
    // object acts on it.
    connect(process, &QProcess::started, this, &PipelineProcess::qprocessStarted);
    connect(process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), this,
            &PipelineProcess::qprocessFinished);
    connect(process, &QProcess::started, this, &PipelineProcess::onProcessStarted);
    connect(process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), this,
            &PipelineProcess::onProcessFinished);
    connect(process, &QProcess::errorOccurred, this, &PipelineProcess::onErrorOccurred);

    emit pipelineLogMessage(
        launcherPid(),
        QStringLiteral("Starting process %1 %2").arg(m_config.exec, m_config.arguments.join(' ')));

    // Kept in the configuration, so restarts run in the same folder.
    if (m_config.workingDirectory.isEmpty()) {
        const QFileInfo execInfo(m_config.exec);
        if (!execInfo.isRelative())
            m_config.workingDirectory = execInfo.absolutePath();
    }
    process->setWorkingDirectory(m_config.workingDirectory);
    // The program that runs is the one validation found: QProcess would look a
    // bare name up in the launcher's own PATH, not in the child's.
    process->start(m_resolvedProgram.isEmpty() ? m_config.exec : m_resolvedProgram,
                   m_config.arguments, QIODevice::ReadWrite);
}

QByteArray PipelineProcess::readAllStandardOutput()
{
    return m_process ? m_process->readAllStandardOutput() : QByteArray();
}

QProcessEnvironment PipelineProcess::buildEnvironment(const ProcessConfig& config)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (auto it = config.environment.cbegin(); it != config.environment.cend(); ++it)
        environment.insert(it.key(), it.value());
    // The child finds its libraries through PATH alone; the launcher's own
    // value is deliberately not inherited.
    environment.insert(QStringLiteral("PATH"), config.libraryPaths.join(QLatin1Char(':')));
    return environment;
}

void PipelineProcess::onProcessStarted()
{
    m_pid = m_process->processId();
    emit pipelineLogMessage(int(m_pid),
                            QStringLiteral("Process started: %1 %2")
                                .arg(m_process->program(), m_process->arguments().join(' ')));
    if (m_startCanProceedPending && m_config.mode != ProcessMode::Sync) {
        m_startCanProceedPending = false;
        emit pipelineStartCanProceed();
    }
    emit pipelineProcessStarted();
}

void PipelineProcess::onProcessFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    const QString statusName = enumName(exitStatus);
    const QString program = m_process->program();
    const QString arguments = m_process->arguments().join(' ');

    switch (exitStatus) {
    case QProcess::NormalExit:
        emit pipelineLogMessage(
            int(m_pid), QStringLiteral("Process finished: %1 %2 with exit code %3 (%4)")
                            .arg(program, arguments, QString::number(exitCode), statusName));
        handleNormalExit(exitCode);
        break;
    case QProcess::CrashExit:
        emit pipelineLogMessage(
            int(m_pid),
            QStringLiteral("Process finished: %1 %2 (%3)").arg(program, arguments, statusName));
        handleCrash();
        break;
    }
}

void PipelineProcess::onErrorOccurred(QProcess::ProcessError error)
{
    const QString errorName = enumName(error);
    emit pipelineLogMessage(
        int(m_pid), QStringLiteral("Process error: %1 %2 (%3)")
                        .arg(m_process->program(), m_process->arguments().join(' '), errorName));
    // No start or end notification follows a failed start; the owner must learn
    // that this process is over.
    if (error == QProcess::FailedToStart)
        emit pipelineProcessFailedToStart();
}

void PipelineProcess::handleNormalExit(int exitCode)
{
    if (m_config.isRequired && exitCode != 0) {
        if (m_config.invalidConfigExitCodes.contains(exitCode))
            emit pipelineConfigurationFailure();
        else
            emit pipelineRequiredProcessFailure();
    } else if (m_config.mode == ProcessMode::Sync && m_startCanProceedPending) {
        m_startCanProceedPending = false;
        emit pipelineStartCanProceed();
    }
    m_finished = true;
    emit pipelineProcessFinished(exitCode, QProcess::NormalExit);
}

void PipelineProcess::handleCrash()
{
    m_crashTimes.append(Solvane::TimeStamp::currentTime());
    if (m_config.restartOnCrash && !restartLimitReached()) {
        emit pipelineLogMessage(int(m_pid), QStringLiteral("Process crashed. Restarting it..."));
        ++m_restarts;
        start();
        return;
    }
    // A crash beyond the restart window is final.
    if (m_config.isRequired)
        emit pipelineRequiredProcessFailure();
    m_finished = true;
    emit pipelineProcessFinished(-1, QProcess::CrashExit);
}

bool PipelineProcess::restartLimitReached() const
{
    if (m_config.restartLimit < 1)
        return true;
    const int crashCount = m_crashTimes.size();
    for (int i = 1; i <= m_config.restartLimit; ++i) {
        if (i > crashCount)
            return false;
        const Solvane::TimeStamp& crashTime = m_crashTimes.at(crashCount - i);
        if (truncatedSeconds(crashTime.sinceSecondsD()) > m_config.restartPeriod)
            return false;
    }
    return true;
}
