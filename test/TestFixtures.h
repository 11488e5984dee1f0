#pragma once

// What the test programs share: pipelines of test-helper children, temporary
// data folders, files, and the capture of log and trace lines.

#include "PipelineConfig.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <utility>

// The companion program lies next to every test program.
inline QString helperPath()
{
    return QStringLiteral("%1/test-helper").arg(QCoreApplication::applicationDirPath());
}

// A default process that runs test-helper in its own folder. The helper needs no
// libraries beyond the system's, so its folder is its one library folder.
inline ProcessConfig helperProcessConfig()
{
    ProcessConfig config;
    config.exec = helperPath();
    config.workingDirectory = QFileInfo(config.exec).absolutePath();
    config.libraryPaths = QStringList{config.workingDirectory};
    return config;
}

inline ProcessConfig helperProcess(ProcessMode mode, bool required = false,
                                   const QStringList& arguments = QStringList())
{
    ProcessConfig config = helperProcessConfig();
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

// Records every Qt message (log lines and trace lines) while it exists.
class MessageCapture
{
public:
    struct Message
    {
        QtMsgType type;
        QString category;
        QString text;
    };

    MessageCapture() : m_previous(qInstallMessageHandler(&MessageCapture::handler))
    {
        s_current = this;
    }
    ~MessageCapture()
    {
        qInstallMessageHandler(m_previous);
        s_current = nullptr;
    }
    MessageCapture(const MessageCapture&) = delete;
    MessageCapture& operator=(const MessageCapture&) = delete;

    const QList<Message>& messages() const { return m_messages; }

    // The trace lines as "info: text", "warning: text" or "error: text".
    QStringList trace() const
    {
        QStringList result;
        for (const Message& message : m_messages) {
            if (message.category != QLatin1String("solvane.trace"))
                continue;
            const char* level = message.type == QtInfoMsg      ? "info: "
                                : message.type == QtWarningMsg ? "warning: "
                                                               : "error: ";
            result.append(QLatin1String(level) + message.text);
        }
        return result;
    }

    // The texts of the messages of one category ("default" for the log lines).
    QStringList texts(const QString& category) const
    {
        QStringList result;
        for (const Message& message : m_messages) {
            if (message.category == category)
                result.append(message.text);
        }
        return result;
    }

private:
    static void handler(QtMsgType type, const QMessageLogContext& context, const QString& text)
    {
        if (s_current)
            s_current->m_messages.append({type, QString::fromUtf8(context.category), text});
    }

    static inline MessageCapture* s_current = nullptr;
    QtMessageHandler m_previous;
    QList<Message> m_messages;
};

// Writes a file, creating its folder.
inline bool writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).absolutePath()) && file.open(QIODevice::WriteOnly) &&
           file.write(content) == content.size();
}

// A per-user and a machine-wide data folder of their own for as long as the
// object lives: XDG_DATA_HOME and XDG_CONFIG_DIRS point into a temporary folder.
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

    bool isValid() const { return m_root.isValid(); }
    QString root() const { return m_root.path(); }
    // The launcher's own folders below the two data folders.
    QString user() const { return m_root.filePath(QStringLiteral("user/Orvalen/launcher")); }
    QString machine() const { return m_root.filePath(QStringLiteral("machine/Orvalen/launcher")); }

private:
    QTemporaryDir m_root;
};
