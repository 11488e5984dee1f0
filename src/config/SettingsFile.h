#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

class IniDocument;
class KeySource;
class QSettings;
class SettingsKeySource;

// One configuration file, opened once. Before a byte is read it must be a
// regular file (also through a link) of at most ConfigLinter::MaxFileSize:
// a FIFO, a device or a huge file costs nothing. Its bytes are read once, and
// the settings reader opens the path only when they have shown that it reads.
class SettingsFile
{
public:
    explicit SettingsFile(const QString& path);
    ~SettingsFile();
    SettingsFile(const SettingsFile&) = delete;
    SettingsFile& operator=(const SettingsFile&) = delete;

    const QString& path() const { return m_path; }
    // False when nothing is at the path (a dangling link included).
    bool exists() const { return m_exists; }
    // Why the file could not be read as a whole (the system's reason, "not a
    // regular file", "larger than 4 MiB..."); empty when it was.
    const QString& readError() const { return m_readError; }
    // Why nothing in the file is to be read: it cannot be read, holds binary
    // content or a serialized value. Empty when it reads.
    const QString& problem() const { return m_problem; }
    bool isReadable() const { return m_problem.isEmpty(); }
    // The bytes as read; empty unless the whole regular file was read.
    const QByteArray& content() const { return m_content; }

    // A settings reader on the file, decoding it as UTF-8 as every text file
    // on Linux is written; it has no keys when the file does not read. It
    // lives as long as this object.
    QSettings& settings();
    // The keys of the file for the readers, parsed from the bytes already read;
    // through settings() when they hold what only QSettings reads right. No
    // keys when the file does not read. It lives as long as this object.
    KeySource& keys();

private:
    void read();

    QString m_path;
    bool m_exists = true;
    QString m_readError;
    QString m_problem;
    QByteArray m_content;
    std::unique_ptr<QSettings> m_settings;
    std::unique_ptr<IniDocument> m_document;
    std::unique_ptr<SettingsKeySource> m_settingsKeys;
};
