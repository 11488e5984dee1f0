#pragma once

// What the test programs share: pipelines of test-helper children, files and
// temporary data folders.

#include "PipelineConfig.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <csignal>

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

inline PipelineConfig pipelineOf(const QList<ProcessConfig>& processes,
                                 const QString& basename = QString())
{
    PipelineConfig config;
    config.basename = basename;
    config.processList = processes;
    return config;
}

// The whole file; empty when it cannot be read.
inline QByteArray fileContent(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The processes whose command line holds the marker; with sleepsOnly, those
// that are "sleep MARKER" and nothing else.
inline QList<qint64> markedProcesses(const QString& marker, bool sleepsOnly = false)
{
    QList<qint64> pids;
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        QByteArray line = fileContent(QStringLiteral("/proc/%1/cmdline").arg(entry));
        if (line.endsWith('\0'))
            line.chop(1);
        const QString text = QString::fromLocal8Bit(line.replace('\0', ' '));
        if (sleepsOnly ? text == QStringLiteral("sleep ") + marker : text.contains(marker))
            pids.append(entry.toLongLong());
    }
    return pids;
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
    DataFolders(const DataFolders&) = delete;
    DataFolders& operator=(const DataFolders&) = delete;

    // The launcher's own folders below the two data folders.
    QString root() const { return m_root.path(); }
    QString user() const { return m_root.filePath(QStringLiteral("user/Orvalen/launcher")); }
    QString machine() const { return m_root.filePath(QStringLiteral("machine/Orvalen/launcher")); }

private:
    QTemporaryDir m_root;
};
