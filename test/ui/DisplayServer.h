#pragma once

#include "TestFixtures.h"

#include <QByteArray>
#include <QDir>
#include <QImage>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <QTest>

#include <signal.h>
#include <unistd.h>

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
    // Generous: five test programs may be building and testing beside this one.
    static constexpr int StartTimeoutMs = 30000;

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
    DisplayServer(Kind kind, const QString& runtimeFolder, const QString& marker)
        : m_kind(kind), m_runtimeFolder(runtimeFolder), m_marker(marker)
    {
        m_server.setProcessChannelMode(QProcess::MergedChannels);
        m_program.setProcessChannelMode(QProcess::MergedChannels);
    }

    // Ends the program (SIGTERM), then the server.
    ~DisplayServer()
    {
        stopProgram();
        // Each a no-op on what is not running.
        m_keyboard.kill();
        m_keyboard.waitForFinished(StartTimeoutMs);
        m_server.terminate();
        if (!m_server.waitForFinished(StartTimeoutMs))
            m_server.kill();
        m_server.waitForFinished(StartTimeoutMs);
    }

    // The programs it needs that are not installed, in one line for a skip;
    // empty when all are.
    QString missing() const
    {
        QStringList needed = m_kind == Kind::X      ? QStringList{"Xvfb", "xdotool"}
                             : m_kind == Kind::Cage ? QStringList{"cage", "grim"}
                                                    : QStringList{"sway", "grim", "wtype"};
        if (m_kind != Kind::X && ::geteuid() == 0)
            needed.append("unshare");
        QStringList missing;
        for (const QString& program : needed)
            if (QStandardPaths::findExecutable(program).isEmpty())
                missing.append(program);
        return missing.isEmpty() ? QString()
                                 : "needs " + missing.join(", ") + " (scripts/install-deps test)";
    }

    // Starts the server with `serverOptions`, sized 800x480 where the server
    // takes a size (cage's are two headless outputs of 1280x720 side by
    // side), and the program on it with these arguments and `environment`
    // (which the server's display is added to). Empty, or why the server
    // does not start.
    QString start(const QString& program, const QStringList& arguments,
                  const QProcessEnvironment& environment, const QStringList& serverOptions = {})
    {
        if (m_kind == Kind::X) {
            // A free display: the server picks it and writes its number.
            m_server.setProcessChannelMode(QProcess::SeparateChannels);
            m_server.start("Xvfb", {"-displayfd", "1", "-nolisten", "tcp", "-screen", "0",
                                    "800x480x24", "-seat", m_marker});
            if (!QTest::qWaitFor([this] { return m_server.canReadLine(); }, StartTimeoutMs))
                return "Xvfb did not start: " + m_server.readAllStandardError();
            m_display = ':' + m_server.readLine().trimmed();
        } else {
            QProcessEnvironment compositor = environment;
            for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "WAYLAND_SOCKET"})
                compositor.remove(name);
            compositor.insert("XDG_RUNTIME_DIR", m_runtimeFolder);
            compositor.insert("WLR_BACKENDS", "headless");
            compositor.insert("WLR_RENDERER", "pixman");
            compositor.insert("WLR_LIBINPUT_NO_DEVICES", "1");
            // Under cage, two outputs of 1280x720 side by side, which its window
            // spans: a window that covers exactly one output cage shows by direct
            // scan-out, which grim does not see on a headless output.
            if (m_kind == Kind::Cage)
                compositor.insert("WLR_HEADLESS_OUTPUTS", "2");
            m_server.setProcessEnvironment(compositor);
            if (m_kind == Kind::Cage) {
                startUnprivileged(m_server, "cage",
                                  serverOptions + QStringList{"--", program} + arguments);
            } else {
                // Named with the marker, which so is on sway's command line.
                const QString config = m_runtimeFolder + "/sway-" + m_marker + ".config";
                if (!writeFile(config, "output HEADLESS-1 resolution 800x480\nxwayland disable\n"
                                       "default_border none\n"))
                    return "cannot write " + config;
                startUnprivileged(m_server, "sway", serverOptions + QStringList{"-c", config});
            }
            if (!QTest::qWaitFor(
                    [this] {
                        return !socket().isEmpty() || m_server.state() == QProcess::NotRunning;
                    },
                    StartTimeoutMs) ||
                socket().isEmpty())
                return "the compositor did not start: " + output();
            m_display = socket();
            if (m_kind == Kind::Cage)
                return QString(); // its client runs already
            m_keyboard.setProcessEnvironment(clientEnvironment(environment));
            // Killed before the server; it cannot carry the marker, so it ends
            // by itself after ten minutes at most should this test crash.
            m_keyboard.start("wtype", {"-s", "600000"});
        }
        m_program.setProcessEnvironment(clientEnvironment(environment));
        m_program.start(program, arguments);
        return QString();
    }

    // Presses a key, named as xdotool names it ("Right", "shift+Tab").
    bool press(const QString& key)
    {
        if (m_kind == Kind::X)
            return runClient("xdotool", {"key", key});
        if (m_kind != Kind::Sway)
            return false; // cage has no virtual keyboard
        // "shift+Tab" (the one modified key the tests press): shift held around
        // the Tab. wtype's keys have one level each, so a shifted key is its
        // shifted symbol, as a keyboard's map has it.
        if (key == "shift+Tab")
            return runClient("wtype", {"-M", "shift", "-k", "ISO_Left_Tab", "-m", "shift"});
        return runClient("wtype", {"-k", key});
    }

    // The program's latest whole line that begins with `start` ("focus: "),
    // without its end of line; empty before the first.
    QByteArray latest(const QByteArray& start)
    {
        const QByteArray all = '\n' + output();
        const int end = all.lastIndexOf('\n');
        const int begin = all.lastIndexOf("\n" + start, end - 1) + 1;
        return begin <= 0 ? QByteArray() : all.mid(begin, all.indexOf('\n', begin) - begin);
    }

    // All the program wrote on its standard error (and, under cage, the compositor).
    QByteArray output()
    {
        m_output += m_kind == Kind::Cage ? m_server.readAll() : m_program.readAll();
        return m_output;
    }

    // The compositor's output as it shows now; null under X or when grim fails.
    QImage picture()
    {
        QByteArray png;
        if (m_kind == Kind::X || !runClient("grim", {"-t", "png", "-"}, &png))
            return QImage();
        return QImage::fromData(png, "PNG");
    }

    // Asks the program to end (SIGTERM) and waits for it; its exit status, -1
    // when it did not end in order.
    int stopProgram()
    {
        const qint64 pid = programPid();
        if (pid <= 0)
            return -1;
        ::kill(pid_t(pid), SIGTERM);
        // cage ends with its one client, with the client's status.
        QProcess& ending = m_kind == Kind::Cage ? m_server : m_program;
        if (!ending.waitForFinished(StartTimeoutMs)) {
            ::kill(pid_t(pid), SIGKILL);
            ending.waitForFinished(StartTimeoutMs);
            return -1;
        }
        output();
        return ending.exitStatus() == QProcess::NormalExit ? ending.exitCode() : -1;
    }

private:
    QString socket() const
    {
        const QStringList sockets =
            QDir(m_runtimeFolder).entryList({"wayland-*"}, QDir::System).filter(QRegExp("\\d$"));
        return sockets.value(0);
    }

    // `environment` with the server's display in it.
    QProcessEnvironment clientEnvironment(QProcessEnvironment environment) const
    {
        if (m_kind == Kind::X) {
            environment.insert("DISPLAY", m_display);
        } else {
            environment.insert("XDG_RUNTIME_DIR", m_runtimeFolder);
            environment.insert("WAYLAND_DISPLAY", m_display);
        }
        return environment;
    }

    // Runs a client of the server to its end; false when it fails.
    bool runClient(const QString& program, const QStringList& arguments,
                   QByteArray* output = nullptr) const
    {
        QProcess client;
        client.setProcessEnvironment(clientEnvironment(QProcessEnvironment::systemEnvironment()));
        client.start(program, arguments);
        const bool done = client.waitForFinished(StartTimeoutMs) && client.exitCode() == 0;
        if (output)
            *output = client.readAllStandardOutput();
        return done;
    }

    qint64 programPid() const
    {
        if (m_kind != Kind::Cage)
            return m_program.state() == QProcess::NotRunning ? 0 : m_program.processId();
        // cage's child (unshare executes cage in its own place).
        const qint64 server = m_server.processId();
        const QByteArray children =
            fileContent(QString("/proc/%1/task/%1/children").arg(server)).trimmed();
        return server ? children.split(' ').value(0).toLongLong() : 0;
    }

    // Runs `program` in a user namespace of its own when this process is root.
    void startUnprivileged(QProcess& process, const QString& program,
                           const QStringList& arguments) const
    {
        if (::geteuid() == 0)
            process.start("unshare", QStringList{"--user", "--", program} + arguments);
        else
            process.start(program, arguments);
    }

    Kind m_kind;
    QString m_runtimeFolder;
    QString m_marker;
    QString m_display; // ":N" or the Wayland socket's name
    QByteArray m_output;
    QProcess m_server;
    // Under X and sway; under cage the program is the server's child.
    QProcess m_program;
    // Under sway: a virtual keyboard that stays. Without one, the seat loses
    // its keyboard when a key's own goes, and the window its focus with it.
    QProcess m_keyboard;
};
