#pragma once

// What the test programs share: pipelines of test-helper children, files,
// temporary data folders, the messages a test logs and the processes it marks.

#include "PipelineConfig.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <csignal>
#include <functional>
#include <utility>

#include <sys/stat.h>

// The companion program lies next to every test program.
inline QString helperPath()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/test-helper");
}

// test-helper in its own folder. It needs no libraries beyond the system's, so
// its folder is its one library folder.
inline ProcessConfig helperProcess(ProcessMode mode, bool required = false,
                                   const QStringList& arguments = QStringList())
{
    ProcessConfig config;
    config.exec = helperPath();
    config.workingDirectory = QFileInfo(config.exec).absolutePath();
    config.libraryPaths = QStringList{config.workingDirectory};
    config.mode = mode;
    config.isRequired = required;
    config.arguments = arguments;
    return config;
}

inline PipelineConfig pipelineOf(const QList<ProcessConfig>& processes)
{
    PipelineConfig config;
    config.processList = processes;
    return config;
}

// The whole file; empty when it cannot be read.
inline QByteArray fileContent(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A data-driven test from a table of structs, each named by its first member
// `name`: addRows() in the _data function, currentRow() in the test.
template <typename Row, std::size_t N>
void addRows(const Row (&rows)[N])
{
    QTest::addColumn<int>("row");
    for (std::size_t i = 0; i < N; ++i)
        QTest::newRow(rows[i].name) << int(i);
}
template <typename Row, std::size_t N>
const Row& currentRow(const Row (&rows)[N])
{
    return rows[*static_cast<const int*>(QTest::qData("row", qMetaTypeId<int>()))];
}

// A data-driven test of one flag: a row without it, then a row with it.
inline void addFlagRows(const char* column, const char* without, const char* with)
{
    QTest::addColumn<bool>(column);
    QTest::newRow(without) << false;
    QTest::newRow(with) << true;
}

// The exit code of a program (-1 when it crashed or did not end in time) and
// all it wrote, its standard output and error as one.
inline std::pair<int, QByteArray> runProgram(const QString& program, const QStringList& arguments,
                                             int timeoutMs = 60000)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    const bool ended = process.waitForFinished(timeoutMs);
    return {ended && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            process.readAll()};
}

// A folder (and those above it) that only its owner may enter, as a runtime folder is.
inline bool makePrivateFolder(const QString& path)
{
    return QDir().mkpath(path) &&
           QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

// Sends the signal to the program while it runs: never to pid 0, which a
// QProcess reports once it has ended, and kill() reads as this process group.
inline void signalProcess(const QProcess& process, int signal)
{
    if (process.processId() > 0)
        ::kill(pid_t(process.processId()), signal);
}

// The permission bits of a file, set-id and sticky bits included, -1 when
// there is none; a link's own.
inline int fileMode(const QString& path)
{
    struct stat status = {};
    return ::lstat(QFile::encodeName(path).constData(), &status) == 0 ? int(status.st_mode & 07777)
                                                                      : -1;
}

// Kills the process whose id the file holds; true when it was still there.
inline bool killedLeftover(const QString& pidFile)
{
    const int pid = fileContent(pidFile).trimmed().toInt();
    return pid > 0 && ::kill(pid_t(pid), SIGKILL) == 0;
}

// Writes a file, creating its folder.
inline bool writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).absolutePath()) && file.open(QIODevice::WriteOnly) &&
           file.write(content) == content.size();
}

// Writes a file of `size` bytes last modified `age` seconds before `now`.
inline bool writeAged(const QString& path, int size, qint64 age,
                      const QDateTime& now = QDateTime::currentDateTime())
{
    QFile file(path);
    return writeFile(path, QByteArray(size, 'x')) && file.open(QIODevice::Append) &&
           file.setFileTime(now.addSecs(-age), QFileDevice::FileModificationTime);
}

// A per-user and a machine-wide data folder of their own while the object
// lives: XDG_DATA_HOME and XDG_CONFIG_DIRS point into a temporary folder.
class DataFolders
{
public:
    DataFolders()
    {
        qputenv("XDG_DATA_HOME", QFile::encodeName(m_root.filePath(QStringLiteral("user"))));
        qputenv("XDG_CONFIG_DIRS", QFile::encodeName(m_root.filePath(QStringLiteral("machine"))));
    }
    ~DataFolders()
    {
        qunsetenv("XDG_DATA_HOME");
        qunsetenv("XDG_CONFIG_DIRS");
    }
    Q_DISABLE_COPY(DataFolders)

    // The launcher's own folders below the two data folders.
    QString root() const { return m_root.path(); }
    QString user() const { return m_root.filePath(QStringLiteral("user/Orvalen/launcher")); }
    QString machine() const { return m_root.filePath(QStringLiteral("machine/Orvalen/launcher")); }

private:
    QTemporaryDir m_root;
};

// Collects the messages logged while the object lives, with their types, from
// any thread; the handler installed before comes back at the end. The hook,
// if any, runs for each message on the thread that logs it.
class MessageCapture
{
public:
    explicit MessageCapture(std::function<void()> hook = {}) : m_hook(std::move(hook))
    {
        s_current = this;
        m_previous = qInstallMessageHandler(&MessageCapture::handle);
    }
    ~MessageCapture()
    {
        qInstallMessageHandler(m_previous);
        s_current = nullptr;
    }
    Q_DISABLE_COPY(MessageCapture)

    // The texts of one type, or of every type when none is given, in order.
    QStringList texts(int type = -1) const
    {
        QMutexLocker lock(&m_mutex);
        QStringList texts;
        for (const auto& [messageType, text] : m_messages) {
            if (type < 0 || messageType == type)
                texts.append(text);
        }
        return texts;
    }
    // How many messages (of the type, if one is given) contain the text.
    int count(const QString& text, int type = -1) const
    {
        return int(texts(type).filter(text).size());
    }

private:
    static void handle(QtMsgType type, const QMessageLogContext&, const QString& text)
    {
        MessageCapture* capture = s_current;
        QMutexLocker lock(&capture->m_mutex);
        capture->m_messages.append({type, text});
        if (capture->m_hook)
            capture->m_hook();
    }

    static inline std::atomic<MessageCapture*> s_current{nullptr};
    const std::function<void()> m_hook;
    QtMessageHandler m_previous = nullptr;
    mutable QMutex m_mutex;
    QList<std::pair<int, QString>> m_messages;
};

// A text unique to one test for the command lines of the processes it starts:
// "3600.<random>", which also keeps `sleep MARKER` asleep for an hour. Whatever
// still carries it when the object goes is killed.
class ProcessMarker
{
public:
    ProcessMarker() = default;
    ~ProcessMarker() { killAll(); }
    Q_DISABLE_COPY(ProcessMarker)

    const QString& text() const { return m_text; }

    // The processes that carry it; with sleepsOnly, the `sleep MARKER` ones.
    QList<qint64> processes(bool sleepsOnly = false) const
    {
        QList<qint64> pids;
        for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
            QByteArray line = fileContent(QStringLiteral("/proc/%1/cmdline").arg(entry));
            if (line.endsWith('\0'))
                line.chop(1);
            const QString text = QString::fromLocal8Bit(line.replace('\0', ' '));
            if (sleepsOnly ? text == QStringLiteral("sleep ") + m_text : text.contains(m_text))
                pids.append(entry.toLongLong());
        }
        return pids;
    }
    // Of those, the ones whose parent does not carry it: a shell, not the
    // fork of it that is on its way to exec its next command.
    QList<qint64> leaders() const
    {
        const QList<qint64> all = processes();
        QList<qint64> pids;
        for (const qint64 pid : all) {
            const QByteArray stat = fileContent(QStringLiteral("/proc/%1/stat").arg(pid));
            // The parent is the second field after the command's closing bracket.
            const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
            if (fields.size() > 1 && !all.contains(fields.at(1).toLongLong()))
                pids.append(pid);
        }
        return pids;
    }
    // Waits until none is left, for at most the bound; true when none is.
    bool noneLeft(int timeoutMs = 30000) const
    {
        return QTest::qWaitFor([this] { return processes().isEmpty(); }, timeoutMs);
    }
    // Kills what carries it.
    void killAll() const
    {
        for (const qint64 pid : processes())
            ::kill(pid_t(pid), SIGKILL);
    }

private:
    const QString m_text =
        QStringLiteral("3600.%1").arg(QRandomGenerator::global()->bounded(1u << 30));
};
