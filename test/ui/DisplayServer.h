#pragma once

#include <QByteArray>
#include <QImage>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <memory>

// A display server of a test's own, with a program on it: an X server (Xvfb
// on a free display, keys by xdotool), or a wlroots kiosk compositor with its
// headless backend in the test's runtime folder: cage, which runs the program
// as its one client (no virtual keyboard), or sway (keys by wtype). Pictures
// of a compositor's output by grim. The program's standard error is kept;
// FocusTrace's lines ("focus: ITEM ring: ITEMS") are read from it.
//
// The compositors refuse to run as root (they could not drop it); as root they
// run in a user namespace of their own, where the test's files are theirs all
// the same.
class DisplayServer
{
public:
    enum class Kind
    {
        X,
        Cage,
        Sway
    };

    // Nothing runs yet. `runtimeFolder`: the private folder of the
    // compositor's socket (XDG_RUNTIME_DIR); `marker` goes on the server's
    // command line.
    DisplayServer(Kind kind, const QString& runtimeFolder, const QString& marker);
    // Ends the program (SIGTERM), then the server.
    ~DisplayServer();

    // The programs it needs that are not installed, in one line for a skip;
    // empty when all are.
    QString missing() const;

    // Starts the server with `serverOptions`, sized 800x480 where the server
    // takes a size (cage's are two headless outputs of 1280x720 side by
    // side), and the program on it with these arguments and `environment`
    // (which the server's display is added to). False, with error() saying
    // why, when the server does not start.
    bool start(const QString& program, const QStringList& arguments,
               const QProcessEnvironment& environment, const QStringList& serverOptions = {});
    QString error() const { return m_error; }

    // Presses a key, named as xdotool names it ("Right", "shift+Tab").
    bool press(const QString& key);
    // The program's latest whole line that begins with `start` ("focus: "),
    // without its end of line; empty before the first.
    QByteArray latest(const QByteArray& start);
    // All the program wrote on its standard error (and, under cage, the compositor).
    QByteArray output();
    // The compositor's output as it shows now; null under X or when grim fails.
    QImage picture();
    // Asks the program to end (SIGTERM) and waits for it; its exit status, -1
    // when it did not end in order.
    int stopProgram();

private:
    QString socket() const;
    // `environment` with the server's display in it.
    QProcessEnvironment clientEnvironment(QProcessEnvironment environment) const;
    // Runs a client of the server to its end; false when it fails.
    bool runClient(const QString& program, const QStringList& arguments,
                   QByteArray* output = nullptr) const;
    qint64 programPid() const;
    // Runs `program` in a user namespace of its own when this process is root.
    void startUnprivileged(QProcess& process, const QString& program,
                           const QStringList& arguments) const;

    Kind m_kind;
    QString m_runtimeFolder;
    QString m_marker;
    QString m_error;
    QString m_display; // ":N" or the Wayland socket's name
    QByteArray m_output;
    QProcess m_server;
    // Under X and sway; under cage the program is the server's child.
    QProcess m_program;
    // Under sway: a virtual keyboard that stays. Without one, the seat loses
    // its keyboard when a key's own goes, and the window its focus with it.
    QProcess m_keyboard;
};
