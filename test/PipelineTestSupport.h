#pragma once

// Helpers shared by the tests that run pipelines of test-helper children.

#include "PipelineConfig.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QList>
#include <QString>
#include <QStringList>

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
