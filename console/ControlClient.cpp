#include "ControlClient.h"

#include "Backend.h"
#include "ConsoleOutput.h"
#include "ControlServer.h"
#include "PipelineWords.h"
#include "logs/LogFollower.h"
#include "logs/PipelineLog.h"

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QSet>
#include <QThread>

#include <cerrno>
#include <cstdio>
#include <optional>

#include <poll.h>
#include <unistd.h>

using ConsoleOutput::print;

namespace {

// Generous: the launcher answers at once unless its machine is overloaded.
const int ReplyTimeoutMs = 30000;

class Connection
{
public:
    // The launcher of this user wherever it listens: where this one would,
    // else where a service or a login of the same user does.
    bool open()
    {
        for (const QString& path : ControlServer::socketPaths()) {
            m_socket.connectToServer(path);
            if (m_socket.waitForConnected(5000))
                return true;
            m_socket.abort();
        }
        return false;
    }

    // The reply, or none (reported) when the launcher did not give one.
    std::optional<QJsonObject> request(const QJsonObject& request, int timeoutMs = ReplyTimeoutMs)
    {
        m_socket.write(QJsonDocument(request).toJson(QJsonDocument::Compact) + '\n');
        m_socket.flush();
        while (!m_socket.canReadLine() && m_socket.waitForReadyRead(timeoutMs)) {
        }
        const QJsonDocument reply = QJsonDocument::fromJson(m_socket.readLine());
        if (!reply.isObject()) {
            ConsoleOutput::error(QStringLiteral("the launcher gave no answer"));
            return std::nullopt;
        }
        return reply.object();
    }

private:
    QLocalSocket m_socket;
};

ExitCode noLauncher()
{
    QString problem;
    ControlServer::socketPath(&problem);
    const QStringList paths = ControlServer::socketPaths();
    print(paths.isEmpty()
              ? QStringLiteral("No launcher is running (there is no control socket: %1).")
                    .arg(problem)
              : QStringLiteral("No launcher is running (nothing answers on '%1').")
                    .arg(paths.join(QLatin1String("', '"))));
    return ExitCode::NoLauncher;
}

// Connects, asks, and reports a refusal (its reasons included).
std::optional<QJsonObject> ask(const QJsonObject& request, ExitCode& code,
                               int timeoutMs = ReplyTimeoutMs)
{
    Connection connection;
    if (!connection.open()) {
        code = noLauncher();
        return std::nullopt;
    }
    code = ExitCode::Failure;
    const std::optional<QJsonObject> reply = connection.request(request, timeoutMs);
    if (!reply)
        return std::nullopt;
    if (!reply->value("ok").toBool()) {
        ConsoleOutput::error(reply->value("error").toString());
        for (const QJsonValue& reason : reply->value("reasons").toArray())
            print(QStringLiteral("  - %1").arg(reason.toString()));
        return std::nullopt;
    }
    code = ExitCode::Normal;
    return reply;
}

QString duration(qint64 seconds)
{
    if (seconds >= 3600)
        return QStringLiteral("%1 h %2 min").arg(seconds / 3600).arg(seconds % 3600 / 60);
    if (seconds >= 60)
        return QStringLiteral("%1 min %2 s").arg(seconds / 60).arg(seconds % 60);
    return QStringLiteral("%1 s").arg(seconds);
}

QString timeText(const QJsonValue& value, const char* format)
{
    const QDateTime time = QDateTime::fromString(value.toString(), Qt::ISODate);
    return time.isValid() ? time.toString(QLatin1String(format)) : QStringLiteral("-");
}

// "code 3", "signal 9", or "-" before the first end.
QString exitText(const QJsonObject& process)
{
    const QJsonObject lastExit = process.value("lastExit").toObject();
    if (lastExit.isEmpty())
        return QStringLiteral("-");
    return lastExit.contains("signal")
               ? QStringLiteral("signal %1").arg(lastExit.value("signal").toInt())
               : QStringLiteral("code %1").arg(lastExit.value("code").toInt());
}

QString applicationName(const QJsonObject& object)
{
    const QString name = object.value("name").toString();
    const QString application = object.value("application").toString();
    return name.isEmpty() ? application : QStringLiteral("'%1' (%2)").arg(name, application);
}

// What a process given up ended with: "given up after 3 crashes", "given up
// after 2 crashes and 1 hang".
QString givenUpText(const QJsonObject& process)
{
    struct Kind
    {
        const char* key;
        const char* one;
        const char* many;
    };
    static const Kind kinds[] = {
        {"crashes", "crash", "crashes"},
        {"hangs", "hang", "hangs"},
        {"memoryCapStops", "stop over its memory cap", "stops over its memory cap"},
        {"failedStarts", "failed start", "failed starts"},
    };
    const QJsonObject after = process.value("givenUpAfter").toObject();
    QStringList ends;
    for (const Kind& kind : kinds) {
        const int count = after.value(QLatin1String(kind.key)).toInt();
        if (count > 0)
            ends.append(QStringLiteral("%1 %2").arg(count).arg(
                QLatin1String(count == 1 ? kind.one : kind.many)));
    }
    if (ends.isEmpty())
        return QStringLiteral("given up");
    const QString last = ends.takeLast();
    return QStringLiteral("given up after ") +
           (ends.isEmpty() ? last
                           : ends.join(QStringLiteral(", ")) + QStringLiteral(" and ") + last);
}

// How the last pipeline ended, and the process that failed it.
void printLastResult(const QJsonObject& result)
{
    const QString outcome = result.value("outcome").toString();
    const QString how = outcome == pipelineWord(PipelineController::Outcome::Failed)
                            ? QStringLiteral("failed (%1)").arg(result.value("failure").toString())
                        : outcome == pipelineWord(PipelineController::Outcome::Stopped)
                            ? QStringLiteral("was stopped on request")
                            : QStringLiteral("finished normally");
    print(QStringLiteral("Last: %1 %2 at %3")
              .arg(applicationName(result), how,
                   timeText(result.value("finishedAt"), "yyyy-MM-dd hh:mm:ss")));
    const QJsonObject process = result.value("process").toObject();
    if (process.isEmpty())
        return;
    // Its failure in words, where it has them: a process that was not ready
    // ended by the stop that followed, which is no cause.
    QString end = process.value("failure").toString();
    if (end.isEmpty())
        end = process.value("lastExit").toObject().isEmpty()
                  ? QStringLiteral("did not run")
                  : QStringLiteral("ended with %1").arg(exitText(process));
    if (process.value("givenUp").toBool() && !end.contains(QLatin1String("not restarted again")))
        end += QStringLiteral(" and was given up");
    // The process by the name its row has in the table, as the screen calls it.
    const QString name = process.value("name").toString();
    print(QStringLiteral("  because process %1 (%2) %3")
              .arg(process.value("index").toInt())
              .arg(name.isEmpty() ? process.value("program").toString() : name, end));
}

// Health, where it is watched: the last check and the memory in use.
QString healthText(const QJsonObject& process)
{
    QStringList health;
    const QJsonObject check = process.value("lastCheck").toObject();
    if (!check.isEmpty())
        health.append(
            QStringLiteral("last check: %1 at %2")
                .arg(check.value("result").toString(), timeText(check.value("at"), "hh:mm:ss")));
    // What memory-max counts first, then the proportional set size, which
    // holds the file pages that the kernel may drop too.
    const auto mib = [&process](const char* key) {
        return QStringLiteral("%1 MiB").arg(
            process.value(QLatin1String(key)).toDouble() / (1024 * 1024), 0, 'f', 1);
    };
    QStringList memory;
    if (process.contains(QLatin1String("unreclaimableMemory")))
        memory.append(mib("unreclaimableMemory") + QStringLiteral(" unreclaimable"));
    if (process.contains(QLatin1String("memory")))
        memory.append(mib("memory") + QStringLiteral(" PSS"));
    if (!memory.isEmpty())
        health.append(QStringLiteral("memory: ") + memory.join(QStringLiteral(", ")));
    return health.join(QStringLiteral("; "));
}

// A process's cells in the table of printProcesses().
QStringList processRow(const QJsonObject& process)
{
    return {QString::number(process.value("index").toInt()),
            process.value("name").toString(),
            process.value("mode").toString(),
            process.value("required").toBool() ? "yes" : "no",
            process.value("pid").toVariant().toString(),
            process.value("givenUp").toBool() ? givenUpText(process)
                                              : process.value("state").toString(),
            timeText(process.value("startedAt"), "hh:mm:ss"),
            QString::number(process.value("restarts").toInt()),
            exitText(process)};
}

// A row for each process, with its command line and its health below it.
void printProcesses(const QJsonArray& processes)
{
    // Each column as wide as its widest cell; # and RESTARTS to the right.
    const QStringList header{"#",     "NAME",    "MODE",     "REQUIRED", "PID",
                             "STATE", "STARTED", "RESTARTS", "LAST EXIT"};
    QList<QStringList> rows{header};
    QStringList commands;
    QStringList healths;
    for (const QJsonValue& value : processes) {
        const QJsonObject process = value.toObject();
        QStringList command{process.value("program").toString()};
        for (const QJsonValue& argument : process.value("arguments").toArray())
            command.append(argument.toString());
        commands.append(command.join(QLatin1Char(' ')));
        healths.append(healthText(process));
        rows.append(processRow(process));
    }
    QVector<int> widths(header.size(), 0);
    for (const QStringList& row : rows) {
        for (int column = 0; column < row.size(); ++column)
            widths[column] = std::max(widths[column], int(row.at(column).size()));
    }
    for (int i = 0; i < rows.size(); ++i) {
        QStringList cells;
        for (int column = 0; column < header.size(); ++column) {
            const QString& cell = rows.at(i).at(column);
            const bool right = column == 0 || column == 7;
            cells.append(column == header.size() - 1 ? cell
                         : right                     ? cell.rightJustified(widths[column])
                                                     : cell.leftJustified(widths[column]));
        }
        print(QStringLiteral("  ") + cells.join(QStringLiteral("  ")));
        if (i > 0) {
            const QString indent(widths[0] + 4, QLatin1Char(' '));
            print(indent + commands.at(i - 1));
            if (!healths.at(i - 1).isEmpty())
                print(indent + healths.at(i - 1));
        }
    }
}

void printStatus(const QJsonObject& status)
{
    const QJsonObject launcher = status.value("launcher").toObject();
    // Which front end answers: the console's serve or run, or the screen.
    const QString frontEnd = launcher.value("frontEnd").toString();
    print(QStringLiteral("Launcher: pid %1%2, version %3, up %4")
              .arg(launcher.value("pid").toVariant().toString(),
                   frontEnd.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(frontEnd),
                   launcher.value("version").toString(),
                   duration(launcher.value("uptime").toVariant().toLongLong())));
    const QJsonObject autostart = status.value("autostart").toObject();
    if (!autostart.isEmpty())
        print(QStringLiteral("Autostart: %1 in %2 s")
                  .arg(autostart.value("application").toString())
                  .arg(autostart.value("remaining").toInt()));
    const QJsonObject pipeline = status.value("pipeline").toObject();
    if (pipeline.isEmpty()) {
        print(QStringLiteral("Nothing is running."));
        const QJsonObject lastResult = status.value("lastResult").toObject();
        if (!lastResult.isEmpty())
            printLastResult(lastResult);
        return;
    }
    const bool stopping =
        pipeline.value("state").toString() == pipelineWord(PipelineController::Phase::Stopping);
    print(QStringLiteral("%1: %2 since %3")
              .arg(stopping ? QStringLiteral("Stopping") : QStringLiteral("Running"))
              .arg(applicationName(pipeline),
                   timeText(pipeline.value("since"), "yyyy-MM-dd hh:mm:ss")));
    const QString log = pipeline.value("log").toString();
    print(QStringLiteral("Log: %1").arg(log.isEmpty() ? QStringLiteral("none") : log));
    if (!pipeline.value("nextRestart").isNull())
        print(QStringLiteral("Daily restart: next at %1")
                  .arg(timeText(pipeline.value("nextRestart"), "yyyy-MM-dd hh:mm")));
    printProcesses(pipeline.value("processes").toArray());
}

// Every byte, however slowly it is read; false once the reader has gone.
bool writeOut(const QByteArray& bytes)
{
    for (qint64 done = 0; done < bytes.size();) {
        const ssize_t written =
            ::write(STDOUT_FILENO, bytes.constData() + done, size_t(bytes.size() - done));
        if (written > 0) {
            done += written;
        } else if (written < 0 && errno == EAGAIN) {
            // A descriptor that another program made non-blocking.
            pollfd writable = {STDOUT_FILENO, POLLOUT, 0};
            ::poll(&writable, 1, -1);
        } else if (written == 0 || errno != EINTR) {
            return false;
        }
    }
    return true;
}

// The log that the launcher writes for `application` (for the running one
// when empty), asked quietly; empty when none answers or it runs another one.
QString runningLog(const QString& application)
{
    QLocalSocket socket;
    socket.connectToServer(ControlServer::socketPath());
    if (!socket.waitForConnected(1000))
        return QString();
    socket.write("{\"command\":\"status\"}\n");
    while (!socket.canReadLine() && socket.waitForReadyRead(ReplyTimeoutMs)) {
    }
    const QJsonObject pipeline =
        QJsonDocument::fromJson(socket.readLine()).object().value("pipeline").toObject();
    if (!application.isEmpty() && pipeline.value("application").toString() != application)
        return QString();
    return pipeline.value("log").toString();
}

} // namespace

namespace ControlClient {

ExitCode status(bool json)
{
    ExitCode code = ExitCode::Normal;
    if (const std::optional<QJsonObject> reply = ask({{"command", "status"}}, code)) {
        if (json)
            ConsoleOutput::write(QJsonDocument(*reply).toJson());
        else
            printStatus(*reply);
    }
    return code;
}

ExitCode stop(double timeoutSeconds)
{
    QJsonObject request{{"command", "stop"}};
    if (timeoutSeconds >= 0)
        request.insert("timeout", timeoutSeconds);
    // The reply comes once the pipeline has finished: after the kill at the latest.
    const int waitMs =
        int((timeoutSeconds >= 0 ? timeoutSeconds : 86400.0) * 1000) + ReplyTimeoutMs;
    ExitCode code = ExitCode::Normal;
    if (const std::optional<QJsonObject> reply = ask(request, code, waitMs)) {
        if (reply->value("stopped").toBool())
            print(QStringLiteral("'%1' has stopped.").arg(reply->value("application").toString()));
        else
            print(QStringLiteral("Nothing was running."));
    }
    return code;
}

ExitCode start(const QString& name)
{
    ExitCode code = ExitCode::Normal;
    if (ask({{"command", "start"}, {"application", name}}, code))
        print(QStringLiteral("'%1' was started.").arg(name));
    return code;
}

ExitCode cancel()
{
    ExitCode code = ExitCode::Normal;
    if (const std::optional<QJsonObject> reply = ask({{"command", "cancel"}}, code))
        print(reply->value("cancelled").toBool() ? QStringLiteral("Autostart cancelled.")
                                                 : QStringLiteral("No countdown was running."));
    return code;
}

ExitCode metrics()
{
    ExitCode code = ExitCode::Normal;
    if (const std::optional<QJsonObject> reply = ask({{"command", "metrics"}}, code)) {
        // As it stands: a scraper reads the bytes, not lines of this console.
        const QByteArray text = reply->value("text").toString().toUtf8();
        std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
        std::fflush(stdout);
    }
    return code;
}

ExitCode reload()
{
    ExitCode code = ExitCode::Normal;
    if (const std::optional<QJsonObject> reply = ask({{"command", "reload"}}, code)) {
        const QJsonArray unreadable = reply->value("unreadable").toArray();
        QSet<QString> files;
        for (const QJsonValue& problem : unreadable) {
            files.insert(problem["file"].toString());
            ConsoleOutput::error(
                QStringLiteral("'%1': error: %2")
                    .arg(problem["file"].toString(), problem["message"].toString()));
        }
        const int count = reply->value("applications").toInt();
        const QString loaded = count == 1 ? QStringLiteral("Reloaded: 1 application")
                                          : QStringLiteral("Reloaded: %1 applications").arg(count);
        if (files.isEmpty())
            print(loaded + QLatin1Char('.'));
        else
            print(loaded + (files.size() == 1
                                ? QStringLiteral("; 1 file has errors.")
                                : QStringLiteral("; %1 files have errors.").arg(files.size())),
                  ConsoleOutput::Tone::Bad);
        if (!unreadable.isEmpty())
            code = ExitCode::Failure;
    }
    return code;
}

ExitCode restart(const QString& name, int index)
{
    ExitCode code = ExitCode::Normal;
    if (ask({{"command", "restart"}, {"application", name}, {"process", index}}, code))
        print(QStringLiteral("Process %1 of '%2' is being restarted.").arg(index).arg(name));
    return code;
}

ExitCode logs(Backend& backend, const QString& name, bool follow, int lines)
{
    // The file that the launcher writes, which follows the day; for an
    // application that does not run, today's.
    LogFollower::Locator locate;
    if (name.isEmpty()) {
        ExitCode code = ExitCode::Normal;
        const std::optional<QJsonObject> reply = ask({{"command", "status"}}, code);
        if (!reply)
            return code;
        const QString path = reply->value("pipeline").toObject().value("log").toString();
        if (path.isEmpty()) {
            ConsoleOutput::error(QStringLiteral("nothing is running; name an application"));
            return ExitCode::Failure;
        }
        // Once the run has ended, its last file stays the one to read.
        locate = [last = path]() mutable {
            const QString running = runningLog(QString());
            if (!running.isEmpty())
                last = running;
            return last;
        };
    } else {
        QFileInfo settings = backend.userSettingsFile();
        if (!settings.exists())
            settings = backend.systemSettingsFile();
        if (settings.exists())
            backend.loadConfig(settings);
        backend.loadApplications();
        const PipelineConfig* found = backend.findPipeline(name);
        if (!found) {
            ConsoleOutput::error(QStringLiteral("unknown application '%1'").arg(name));
            return ExitCode::Usage;
        }
        locate = [name, pipeline = *found] {
            const QString running = runningLog(name);
            return running.isEmpty() ? PipelineLog::filePath(pipeline) : running;
        };
    }

    LogFollower follower(locate, lines);
    // Following, a log not yet written is waited for.
    while (!follower.open()) {
        if (!follow) {
            ConsoleOutput::error(QStringLiteral("no log today: '%1'").arg(follower.filePath()));
            return ExitCode::Failure;
        }
        QThread::msleep(250);
    }
    if (follow && !follower.watchProblem().isEmpty())
        ConsoleOutput::error(QStringLiteral("warning: cannot watch the folder of '%1' (%2): pieces "
                                            "split off between two looks may be missed")
                                 .arg(follower.filePath(), follower.watchProblem()));
    for (;;) {
        const QByteArray bytes = follower.read();
        // Where they were missing, before the lines after them.
        const int lost = follower.takeLost();
        if (lost > 0)
            ConsoleOutput::error(
                lost == 1 ? QStringLiteral("1 piece of the log was removed before it could be read")
                          : QStringLiteral("%1 pieces of the log were removed before they could "
                                           "be read")
                                .arg(lost));
        if (!writeOut(bytes))
            return ExitCode::Failure;
        if (bytes.isEmpty() && lost == 0) {
            if (!follow)
                return ExitCode::Normal;
            // Woken at once when a piece is split off.
            follower.wait(250);
        }
    }
}

} // namespace ControlClient
