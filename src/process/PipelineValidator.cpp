#include "process/PipelineValidator.h"

#include "PipelineProcess.h"
#include "config/ReadyGate.h"
#include "process/ReadinessProbe.h"

#include <QFileInfo>

namespace {

// Where a bare or relative program is found, as the child would find it; an
// empty path with the problem when it is not usable there.
QString resolveExecutable(const ProcessConfig& processConfig, int processIndex,
                          QList<ValidationProblem>& problems)
{
    const QString exec = processConfig.exec;
    const auto problem = [&problems, processIndex](const QString& message) {
        problems.append({processIndex, QStringLiteral("exec"), message});
    };
    // A folder is never a program: an empty exec would otherwise find "/".
    const auto isUsable = [&problem, &exec](const QFileInfo& file) {
        if (!file.exists() || file.isDir()) {
            problem(QStringLiteral("executable '%1' does not exist").arg(exec));
            return false;
        }
        if (!file.isExecutable()) {
            problem(QStringLiteral("executable file '%1' is not executable by the user").arg(exec));
            return false;
        }
        return true;
    };

    const QFileInfo execInfo(exec);
    if (!execInfo.isRelative())
        return isUsable(execInfo) ? exec : QString();

    if (execInfo.fileName() != exec) {
        if (processConfig.workingDirectory.isEmpty()) {
            problem(QStringLiteral(
                        "use of relative executable '%1' requires working directory to be defined")
                        .arg(exec));
            return QString();
        }
        const QFileInfo candidate(
            QStringLiteral("%1/%2").arg(processConfig.workingDirectory, exec));
        return isUsable(candidate) ? candidate.absoluteFilePath() : QString();
    }

    // A bare name is looked up where the child would find it: its working
    // folder first, then its own PATH.
    QStringList folders(processConfig.workingDirectory);
    folders += PipelineProcess::buildEnvironment(processConfig)
                   .value(QStringLiteral("PATH"))
                   .split(QLatin1Char(':'));
    for (const QString& folder : qAsConst(folders)) {
        const QFileInfo candidate(QStringLiteral("%1/%2").arg(folder, exec));
        if (candidate.exists() && !candidate.isDir())
            return isUsable(candidate) ? candidate.absoluteFilePath() : QString();
    }
    problem(QStringLiteral("executable '%1' does not exist").arg(exec));
    return QString();
}

} // namespace

QList<ValidationProblem> PipelineValidator::validate(const PipelineConfig& pipelineConfig,
                                                     QStringList* programs)
{
    QList<ValidationProblem> problems;
    if (programs)
        programs->clear();
    bool nonDaemonSeen = false;

    for (int i = 0; i < pipelineConfig.processList.size(); ++i) {
        const ProcessConfig& processConfig = pipelineConfig.processList.at(i);
        if (processConfig.mode != ProcessMode::Daemon)
            nonDaemonSeen = true;
        if (!processConfig.workingDirectory.isEmpty() &&
            !QFileInfo(processConfig.workingDirectory).isDir())
            problems.append({i, QStringLiteral("working-directory"),
                             QStringLiteral("working directory '%1' it not a directory")
                                 .arg(processConfig.workingDirectory)});
        const QString program = resolveExecutable(processConfig, i, problems);
        const QString gateError = processConfig.mode == ProcessMode::Sync
                                      ? QString()
                                      : ReadinessProbe::gateError(processConfig.ready);
        if (!processConfig.ready.isEmpty() && !gateError.isEmpty())
            problems.append({i, QStringLiteral("ready"),
                             QStringLiteral("readiness gate '%1' is not valid: %2")
                                 .arg(processConfig.ready, gateError)});
        // A check that cannot be made would fail every time and restart the process for ever.
        const QString checkError = ReadyGate::parseAlive(processConfig.alive).error;
        if (!processConfig.alive.isEmpty() && !checkError.isEmpty())
            problems.append({i, QStringLiteral("alive"),
                             QStringLiteral("alive check '%1' is not valid: %2")
                                 .arg(processConfig.alive, checkError)});
        if (programs)
            programs->append(program.isEmpty() ? processConfig.exec : program);
    }

    if (!nonDaemonSeen)
        problems.append({-1, QStringLiteral("mode"),
                         QStringLiteral("pipeline must contain at least one non-daemon process.")});
    return problems;
}
