#pragma once

#include "ConfigProblem.h"
#include "support/SafeFolder.h"

#include <QByteArray>
#include <QDateTime>
#include <QElapsedTimer>
#include <QHash>
#include <QJsonObject>
#include <QLocalServer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>

class Backend;
class ControlSession;
class QLocalSocket;

// The launcher's control socket: other shells of the same user ask it what
// runs and tell it to stop, start, restart a process, reload or cancel. One
// JSON object per line each way. Nothing a client does can block the launcher
// or lock others out: a line beyond the cap is answered with an error and the
// connection closed, a client that does not read its replies is dropped once
// they pile up, one that asks nothing for a while is closed, and when the
// connections are full, a new one takes the place of the one idle longest.
// Clients that wait for a stop's reply have places of their own. Whichever
// launcher serves it (the console's main job, run or serve, the screen)
// answers alike, and says in status which it is.
class ControlServer : public QObject
{
    Q_OBJECT

public:
    ControlServer(Backend& backend, ControlSession& session, QObject* parent = nullptr);
    // Removes the socket.
    ~ControlServer() override;

    // The socket of this user's launcher: "control" in the launcher's runtime
    // folder (RuntimeFolder). Empty when there is no such folder; problem
    // then says why.
    static QString socketPath(QString* problem = nullptr);
    // Every socket where a launcher of this user may listen, in the order
    // that clients try them (RuntimeFolder::places()).
    static QStringList socketPaths();

    // Replaces a socket that a dead launcher left; false only when another
    // launcher of this user answers on any of socketPaths(), whichever front
    // end it is: refusal() then says so, for the front end to tell in its own
    // words. A socket that cannot be made is warned about once, and the
    // launcher goes on without one.
    bool listen();
    // Why listen() refused, naming the other launcher's pid, command and
    // socket; empty when it did not.
    QString refusal() const { return m_refusal; }

    // How the launcher's files are read again (start and reload): by default
    // the backend's reload() as it stands. Returns the files that do not read.
    void setReload(std::function<QList<ConfigProblem>()> reload) { m_reload = std::move(reload); }

private:
    struct Client
    {
        QByteArray input; // a request not yet ended by its line feed
        bool waitingForStop = false;
        qint64 pid = 0;
        QElapsedTimer idle; // since it connected or was last answered
    };

    void onNewConnection();
    void onIdleCheck();
    void makeRoom();
    int stopWaiters() const;
    void refuseForLoad(QLocalSocket* socket);
    void onReadyRead(QLocalSocket* socket);
    void onPipelineFinished(const QString& basename, int finishReason);
    void handle(QLocalSocket* socket, const QByteArray& line);
    void reply(QLocalSocket* socket, const QJsonObject& object);
    void drop(QLocalSocket* socket);
    QJsonObject status() const;
    QJsonObject start(const QJsonObject& request);
    QJsonObject reload();
    QJsonObject restart(const QJsonObject& request);

    Backend& m_backend;
    ControlSession& m_session;
    const QDateTime m_startedAt = QDateTime::currentDateTime();
    QLocalServer m_server;
    QString m_path;      // the socket listened on; empty when there is none
    QString m_refusal;   // why listen() refused
    SafeFolder m_folder; // where it is
    QHash<QLocalSocket*, Client> m_clients;
    QTimer m_idleTimer;
    std::function<QList<ConfigProblem>()> m_reload;
};
