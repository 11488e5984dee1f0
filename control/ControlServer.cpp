#include "ControlServer.h"

#include "Backend.h"
#include "ControlSession.h"
#include "PipelineWords.h"
#include "ProblemWording.h"
#include "support/LauncherSupport.h"
#include "support/RuntimeFolder.h"
#include "support/Trace.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocalSocket>

#include <algorithm>
#include <cmath>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using Solvane::Trace;

namespace {

// A pipeline that runs is "stopping" once it ends, else "running": one that
// still starts runs for a client already.
QString runningWord(PipelineController::Phase phase)
{
    return pipelineWord(
        phase == PipelineController::Phase::Stopping ? phase : PipelineController::Phase::Running);
}

// A request longer than this is no request of ours.
const int MaxLineBytes = 64 * 1024;
// Replies piled up beyond this belong to a client that does not read.
const qint64 MaxPendingBytes = 1024 * 1024;
// Connections that may ask something; beyond them the one idle longest goes.
const int MaxClients = 64;
// Clients owed the reply of a stop; a stop request beyond them is refused.
const int MaxStopWaiters = 64;
// A client that has not finished asking for so long since it connected or was
// last answered is closed: clients send their request at once.
const int IdleTimeoutMs = 30000;
// A socket's path fills sun_path with its terminating zero.
const int MaxSocketPathBytes = int(sizeof(sockaddr_un::sun_path)) - 1;
const char* const SocketName = "control";

QJsonObject failure(const QString& error)
{
    return QJsonObject{{"ok", false}, {"error", error}};
}

QJsonValue timeValue(const QDateTime& time)
{
    return time.isValid() ? QJsonValue(time.toString(Qt::ISODate)) : QJsonValue();
}

QJsonObject processObject(const ProcessStatus& status)
{
    QJsonValue lastExit;
    if (status.hasExited) {
        lastExit = status.lastExitStatus == QProcess::NormalExit
                       ? QJsonObject{{"code", status.lastExitCode}}
                       : QJsonObject{{"signal", status.lastExitSignal}};
    }
    QJsonObject object{{"index", status.index},
                       {"name", status.name},
                       {"program", status.program},
                       {"arguments", QJsonArray::fromStringList(status.arguments)},
                       {"mode", processModeName(status.mode)},
                       {"required", status.required},
                       {"pid", status.pid},
                       {"state", ProcessStatus::stateName(status.state)},
                       {"startedAt", timeValue(status.startedAt)},
                       {"restarts", status.restarts},
                       {"lastExit", lastExit},
                       {"givenUp", status.givenUp}};
    if (status.givenUp)
        object.insert("givenUpAfter",
                      QJsonObject{{"crashes", status.givenUpAfter.crashes},
                                  {"hangs", status.givenUpAfter.hangs},
                                  {"memoryCapStops", status.givenUpAfter.memoryCapStops},
                                  {"failedStarts", status.givenUpAfter.failedStarts}});
    if (!status.failure.isEmpty())
        object.insert("failure", status.failure);
    if (status.lastCheckAt.isValid())
        object.insert("lastCheck", QJsonObject{{"result", status.lastCheck},
                                               {"at", timeValue(status.lastCheckAt)}});
    if (status.memory >= 0)
        object.insert("memory", status.memory);
    if (status.unreclaimableMemory >= 0)
        object.insert("unreclaimableMemory", status.unreclaimableMemory);
    return object;
}

QJsonValue resultObject(const std::optional<PipelineController::Result>& result)
{
    if (!result)
        return QJsonValue();
    return QJsonObject{
        {"application", result->basename},
        {"name", result->name},
        {"outcome", pipelineWord(result->outcome)},
        {"failure", result->outcome == PipelineController::Outcome::Failed
                        ? QJsonValue(LauncherSupport::enumName(result->failureReason))
                        : QJsonValue()},
        {"startedAt", timeValue(result->startedAt)},
        {"finishedAt", timeValue(result->finishedAt)},
        {"process",
         result->failedProcess.index < 0 ? QJsonValue() : processObject(result->failedProcess)}};
}

// The launcher that answers on the socket, as its status tells: its pid,
// 0 when none answers, -1 when one holds the socket but does not say.
struct Answering
{
    qint64 pid = 0;
    QString who; // its front end and command line, for messages
};

Answering answeringLauncher(const QString& path)
{
    QLocalSocket probe;
    probe.connectToServer(path);
    if (!probe.waitForConnected(1000))
        return {};
    probe.write("{\"command\":\"status\"}\n");
    while (!probe.canReadLine() && probe.waitForReadyRead(2000)) {
    }
    const QJsonObject launcher =
        QJsonDocument::fromJson(probe.readLine()).object().value("launcher").toObject();
    const qint64 pid = launcher.value("pid").toVariant().toLongLong();
    QStringList command;
    for (const QJsonValue& argument : launcher.value("command").toArray())
        command.append(argument.toString());
    QString who = launcher.value("frontEnd").toString();
    if (!command.isEmpty())
        who += QStringLiteral(" (%1)").arg(command.join(QLatin1Char(' ')));
    // A socket that accepts but does not answer is still held.
    return {pid > 0 ? pid : -1, who.trimmed()};
}

// Why another launcher holds the socket at path, in words that name it; empty
// when none answers there.
QString refusalBy(const QString& path)
{
    const Answering other = answeringLauncher(path);
    if (other.pid == 0)
        return QString();
    return QStringLiteral("Another launcher is running: pid %1%2; it holds the control socket '%3'")
        .arg(other.pid > 0 ? QString::number(other.pid) : QStringLiteral("unknown"),
             other.who.isEmpty() ? QString() : QStringLiteral(", ") + other.who, path);
}

} // namespace

ControlServer::ControlServer(Backend& backend, ControlSession& session, QObject* parent)
    : QObject(parent), m_backend(backend), m_session(session),
      m_reload([&backend] { return backend.reload(); })
{
    connect(&m_server, &QLocalServer::newConnection, this, &ControlServer::onNewConnection);
    m_idleTimer.setInterval(1000);
    connect(&m_idleTimer, &QTimer::timeout, this, &ControlServer::onIdleCheck);
    connect(&backend, &Backend::pipelineFinished, this,
            [this](const QString& basename, PipelineController::PipelineFinishReason reason) {
                onPipelineFinished(basename, reason);
            });
}

ControlServer::~ControlServer()
{
    // The last replies (a stop's, on the way out) go while they fit.
    for (auto it = m_clients.cbegin(); it != m_clients.cend(); ++it) {
        it.key()->disconnect(this);
        it.key()->flush();
        delete it.key();
    }
    m_clients.clear();
    if (m_server.isListening()) {
        m_server.close();
        QString problem;
        if (!m_folder.remove(QLatin1String(SocketName), problem))
            Trace::warning("The control socket is left: %s", qUtf8Printable(problem));
    }
}

QString ControlServer::socketPath(QString* problem)
{
    const RuntimeFolder::Found folder = RuntimeFolder().find(RuntimeFolder::Look);
    if (problem)
        *problem = folder.problem;
    return folder.path.isEmpty() ? QString()
                                 : folder.path + QLatin1Char('/') + QLatin1String(SocketName);
}

QStringList ControlServer::socketPaths()
{
    QStringList paths;
    for (const QString& folder : RuntimeFolder().places())
        paths.append(folder + QLatin1Char('/') + QLatin1String(SocketName));
    return paths;
}

bool ControlServer::listen()
{
    // Without a folder the folder has said why: once, for the record, too.
    const QString folder = RuntimeFolder().find(RuntimeFolder::Make).path;
    if (folder.isEmpty())
        return true;
    const QString path = folder + QLatin1Char('/') + QLatin1String(SocketName);
    const int bytes = QFile::encodeName(path).size();
    if (bytes > MaxSocketPathBytes) {
        Trace::warning("No control socket: '%s' is too long for a socket (%d bytes, at most %d)",
                       qUtf8Printable(path), bytes, MaxSocketPathBytes);
        return true;
    }
    m_folder = SafeFolder::open(folder);
    if (!m_folder.isOpen()) {
        Trace::warning("No control socket: %s", qUtf8Printable(m_folder.problem()));
        return true;
    }
    if (QFileInfo(path).exists() || QFileInfo(path).isSymLink()) {
        m_refusal = refusalBy(path);
        if (!m_refusal.isEmpty())
            return false;
        QString problem;
        if (!m_folder.remove(QLatin1String(SocketName), problem)) {
            Trace::warning("No control socket: %s", qUtf8Printable(problem));
            return true;
        }
        Trace::info("Replaced the control socket '%s' of a launcher that has ended",
                    qUtf8Printable(path));
    }
    // One launcher for each user, wherever the other one found its folder: a
    // service has its own, a login its $XDG_RUNTIME_DIR.
    for (const QString& other : socketPaths()) {
        if (other == path || !QFileInfo::exists(other))
            continue;
        m_refusal = refusalBy(other);
        if (!m_refusal.isEmpty())
            return false;
    }
    m_server.setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server.listen(path)) {
        Trace::warning("No control socket: unable to listen on '%s': %s", qUtf8Printable(path),
                       qUtf8Printable(m_server.errorString()));
        return true;
    }
    m_path = path;
    QFile::setPermissions(m_path, QFile::ReadOwner | QFile::WriteOwner);
    return true;
}

void ControlServer::onNewConnection()
{
    while (QLocalSocket* socket = m_server.nextPendingConnection()) {
        ucred peer = {};
        socklen_t length = sizeof peer;
        const bool known = ::getsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_PEERCRED,
                                        &peer, &length) == 0;
        if (!known || peer.uid != ::geteuid()) {
            Trace::warning(
                "Refused a control connection from pid %d of user %d: not the launcher's user",
                known ? int(peer.pid) : -1, known ? int(peer.uid) : -1);
            socket->abort();
            socket->deleteLater();
            continue;
        }
        makeRoom();
        Client& client = m_clients[socket];
        client.pid = peer.pid;
        client.idle.start();
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QLocalSocket::disconnected, this, [this, socket] { drop(socket); });
        // Not restarted: clients that come often must not put the check off.
        if (!m_idleTimer.isActive())
            m_idleTimer.start();
        onReadyRead(socket);
    }
}

// A new client is served at once: when the connections that may ask are
// full, the one idle longest goes, one that has sent nothing before one that
// is part way through a request. Those owed a stop's reply are not counted.
void ControlServer::makeRoom()
{
    QList<QLocalSocket*> open;
    for (auto it = m_clients.cbegin(); it != m_clients.cend(); ++it) {
        if (!it->waitingForStop)
            open.append(it.key());
    }
    if (open.size() < MaxClients)
        return;
    const auto goesFirst = [this](QLocalSocket* a, QLocalSocket* b) {
        const Client& first = *m_clients.constFind(a);
        const Client& second = *m_clients.constFind(b);
        if (first.input.isEmpty() != second.input.isEmpty())
            return first.input.isEmpty();
        return first.idle < second.idle; // started earlier, to the nanosecond
    };
    std::sort(open.begin(), open.end(), goesFirst);
    for (int i = 0; i <= open.size() - MaxClients; ++i) {
        const Client& client = *m_clients.constFind(open[i]);
        Trace::warning("Closed the control connection of pid %lld, idle for %.1f s, to make room "
                       "for a new one: %d connections are open, the most there may be",
                       client.pid, client.idle.elapsed() / 1000.0, int(open.size()));
        drop(open[i]);
    }
}

void ControlServer::onIdleCheck()
{
    for (QLocalSocket* socket : m_clients.keys()) {
        const Client& client = *m_clients.constFind(socket);
        if (!client.waitingForStop && client.idle.hasExpired(IdleTimeoutMs)) {
            Trace::info("Closed the control connection of pid %lld: no request for %d s",
                        client.pid, IdleTimeoutMs / 1000);
            drop(socket);
        }
    }
    if (m_clients.isEmpty())
        m_idleTimer.stop();
}

int ControlServer::stopWaiters() const
{
    return int(std::count_if(m_clients.cbegin(), m_clients.cend(),
                             [](const Client& client) { return client.waitingForStop; }));
}

void ControlServer::onReadyRead(QLocalSocket* socket)
{
    if (!m_clients.contains(socket))
        return;
    m_clients[socket].input += socket->readAll();
    // Looked up anew for each line: a request may end the connection.
    for (auto it = m_clients.find(socket); it != m_clients.end(); it = m_clients.find(socket)) {
        const int end = it->input.indexOf('\n');
        if (end < 0) {
            if (it->input.size() > MaxLineBytes) {
                reply(socket,
                      failure(QStringLiteral("request longer than %1 bytes").arg(MaxLineBytes)));
                // The reply fits the socket's buffer: written now, then closed.
                socket->flush();
                drop(socket);
            }
            return;
        }
        const QByteArray line = it->input.left(end);
        it->input.remove(0, end + 1);
        if (line.size() > MaxLineBytes)
            reply(socket,
                  failure(QStringLiteral("request longer than %1 bytes").arg(MaxLineBytes)));
        else
            handle(socket, line);
    }
}

void ControlServer::handle(QLocalSocket* socket, const QByteArray& line)
{
    QJsonParseError error = {};
    const QJsonDocument document = QJsonDocument::fromJson(line, &error);
    if (!document.isObject()) {
        reply(socket, failure(error.error != QJsonParseError::NoError
                                  ? QStringLiteral("not JSON: %1").arg(error.errorString())
                                  : QStringLiteral("not a JSON object")));
        return;
    }
    const QJsonObject request = document.object();
    const QString command = request.value("command").toString();
    if (command == QLatin1String("status")) {
        reply(socket, status());
    } else if (command == QLatin1String("cancel")) {
        reply(socket, QJsonObject{{"ok", true}, {"cancelled", m_session.cancelCountdown()}});
    } else if (command == QLatin1String("start")) {
        reply(socket, start(request));
    } else if (command == QLatin1String("reload")) {
        reply(socket, reload());
    } else if (command == QLatin1String("metrics")) {
        reply(socket,
              QJsonObject{{"ok", true}, {"text", QString::fromUtf8(m_backend.metricsText())}});
    } else if (command == QLatin1String("restart")) {
        reply(socket, restart(request));
    } else if (command == QLatin1String("stop")) {
        // Left out, the launcher's own; given, a number: a text or null is
        // no timeout, and never taken for the default.
        const QJsonValue timeout = request.value("timeout");
        const double seconds =
            timeout.isUndefined() ? m_session.stopTimeoutMs() / 1000.0 : timeout.toDouble(-1);
        if (!std::isfinite(seconds) || seconds < 0 || seconds > 86400) {
            reply(socket,
                  failure(QStringLiteral("timeout: not a number of seconds from 0 to 86400")));
        } else if (stopWaiters() >= MaxStopWaiters) {
            refuseForLoad(socket);
        } else if (m_session.stop(int(std::lround(seconds * 1000)))) {
            // The reply follows once the pipeline has finished.
            m_clients[socket].waitingForStop = true;
        } else {
            reply(socket, QJsonObject{{"ok", true}, {"stopped", false}});
        }
    } else {
        reply(socket, failure(QStringLiteral("unknown command '%1'").arg(command)));
    }
}

QJsonObject ControlServer::start(const QJsonObject& request)
{
    const QString name = request.value("application").toString();
    // What the files say now: one added, edited or removed since the last
    // look counts as it is.
    m_reload();
    const PipelineConfig* pipeline = m_backend.findPipeline(name);
    if (!pipeline)
        return failure(QStringLiteral("unknown application '%1'").arg(name));
    QStringList reasons;
    if (!m_session.start(*pipeline, reasons)) {
        QJsonObject refused = failure(QStringLiteral("'%1' was not started").arg(name));
        refused.insert("reasons", QJsonArray::fromStringList(reasons));
        return refused;
    }
    return QJsonObject{{"ok", true}, {"application", name}};
}

// Each file that does not read as written, or that check finds an error in,
// with its errors as check words them; the other files are loaded all the same.
QJsonObject ControlServer::reload()
{
    QList<ConfigProblem> errors = m_reload();
    QList<ConfigProblem> found = loadedErrors(m_backend);
    // A file that does not read has its reader's word first; the linter's of
    // the same file follow only when they say something else.
    for (const ConfigProblem& problem : found) {
        const bool said = std::any_of(errors.cbegin(), errors.cend(), [&](const ConfigProblem& e) {
            return e.file == problem.file && e.message == problem.message;
        });
        if (!said)
            errors.append(problem);
    }
    QJsonArray unreadable;
    for (const ConfigProblem& problem : errors)
        unreadable.append(QJsonObject{{"file", problem.file}, {"message", problem.message}});
    return QJsonObject{{"ok", true},
                       {"applications", m_backend.processPipelines().size()},
                       {"unreadable", unreadable}};
}

QJsonObject ControlServer::restart(const QJsonObject& request)
{
    const QString name = request.value("application").toString();
    const QJsonValue index = request.value("process");
    PipelineController& controller = *m_backend.pipelineController();
    if (controller.state() != PipelineController::Running)
        return failure(QStringLiteral("'%1' is not running: nothing is running").arg(name));
    const QString running = controller.pipelineConfig().basename;
    if (name != running)
        return failure(QStringLiteral("'%1' is not running ('%2' is)").arg(name, running));
    // A whole number, as a double holds it.
    const double number = index.toDouble(-1);
    if (!index.isDouble() || number < 0 || number > 1e6 || number != std::floor(number))
        return failure(QStringLiteral("process: not the index of a process"));
    QString refusal;
    if (!controller.restartProcess(int(number), &refusal))
        return failure(QStringLiteral("process %1 of '%2' was not restarted: %3")
                           .arg(int(number))
                           .arg(name, refusal));
    return QJsonObject{{"ok", true}, {"application", name}, {"process", int(number)}};
}

QJsonObject ControlServer::status() const
{
    const QDateTime now = QDateTime::currentDateTime();
    QJsonObject result{
        {"ok", true},
        {"launcher",
         QJsonObject{{"pid", qint64(::getpid())},
                     {"frontEnd", QCoreApplication::applicationName()},
                     {"command", QJsonArray::fromStringList(QCoreApplication::arguments())},
                     {"version", Backend::version()},
                     {"startedAt", timeValue(m_startedAt)},
                     {"uptime", m_startedAt.secsTo(now)}}}};
    const int remaining = m_backend.autostartRemainingSeconds();
    result.insert("autostart", remaining < 0
                                   ? QJsonValue()
                                   : QJsonObject{{"application", m_backend.autostartTile()},
                                                 {"remaining", remaining}});
    PipelineController& controller = *m_backend.pipelineController();
    if (controller.state() != PipelineController::Running) {
        result.insert("pipeline", QJsonValue());
        // While nothing runs, how the last pipeline ended.
        result.insert("lastResult", resultObject(controller.lastResult()));
        return result;
    }
    result.insert("lastResult", QJsonValue());
    const PipelineConfig& config = controller.pipelineConfig();
    const QString log = controller.logFilePath();
    QJsonArray processes;
    for (const ProcessStatus& process : controller.processStatuses(true))
        processes.append(processObject(process));
    result.insert("pipeline", QJsonObject{{"application", config.basename},
                                          {"name", config.name},
                                          {"state", runningWord(controller.phase())},
                                          {"since", timeValue(controller.startedAt())},
                                          {"log", log.isEmpty() ? QJsonValue() : QJsonValue(log)},
                                          {"nextRestart", timeValue(controller.nextRestart())},
                                          {"processes", processes}});
    return result;
}

void ControlServer::onPipelineFinished(const QString& basename, int finishReason)
{
    const QJsonObject stopped{{"ok", true},
                              {"stopped", true},
                              {"application", basename},
                              {"normal", finishReason == PipelineController::NormalFinish}};
    for (QLocalSocket* socket : m_clients.keys()) {
        if (m_clients.value(socket).waitingForStop) {
            m_clients[socket].waitingForStop = false;
            reply(socket, stopped);
        }
    }
}

void ControlServer::refuseForLoad(QLocalSocket* socket)
{
    Trace::warning("Refused a stop request from pid %lld: %d clients wait for the stop already, "
                   "the most there may be",
                   m_clients.value(socket).pid, MaxStopWaiters);
    reply(socket, failure(QStringLiteral("%1 clients wait for the stop already; try again later")
                              .arg(MaxStopWaiters)));
}

void ControlServer::reply(QLocalSocket* socket, const QJsonObject& object)
{
    // Answered: idle from now on.
    const auto client = m_clients.find(socket);
    if (client != m_clients.end())
        client->idle.start();
    socket->write(QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n');
    if (socket->bytesToWrite() > MaxPendingBytes) {
        Trace::warning("Dropped a control client that does not read its replies");
        drop(socket);
    }
}

void ControlServer::drop(QLocalSocket* socket)
{
    if (!m_clients.remove(socket))
        return;
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
}
