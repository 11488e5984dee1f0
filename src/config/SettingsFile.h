#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

class QSettings;
class SafeFolder;

// One configuration file, opened and read once. Before a byte is read it must
// be a regular file (also through a link) of at most MaxSize: a FIFO, a device
// or a huge file costs nothing. Its bytes are all that is ever read of it: the
// settings reader gets a private copy of them, never the path.
class SettingsFile
{
public:
    // The largest file that is read; beyond it a file is no settings file.
    static constexpr qint64 MaxSize = 4 * 1024 * 1024;

    explicit SettingsFile(const QString& path);
    // The bytes read from the path before (by this class), or why they
    // could not be: the file is not read again.
    SettingsFile(const QString& path, const QByteArray& content, const QString& readError);

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
    // Why the file as read does not read as written; empty when it does.
    // `copyError`: why its settings reader got none of its keys.
    QString loadProblem(const QString& copyError) const;
    // The bytes as read; empty unless the whole regular file was read.
    const QByteArray& content() const { return m_content; }

    // A settings reader (UTF-8, as every text file on Linux is written) of
    // the bytes read, without keys when the file does not read. QSettings
    // keeps its parse of a path for as long as the size and time of the file
    // there stay the same: a file replaced by one of the same size and time
    // (cp -p, rsync -a) would read as before. So each reader reads a copy in
    // the runtime folder (RuntimeFolder) with a name never used before,
    // removed once it is parsed. When no copy can be written, the reader has
    // no keys and `error` says why.
    std::unique_ptr<QSettings> settings(QString* error = nullptr) const;

    // While one lives, the copies that settings() makes on this thread go to
    // one folder, found and checked once: a load reads many files, and each
    // search walks the folder's path a component at a time. A folder that
    // fails a copy (removed by another launcher) is found anew.
    class Batch
    {
    public:
        Batch();
        ~Batch();
        Batch(const Batch&) = delete;
        Batch& operator=(const Batch&) = delete;

    private:
        std::unique_ptr<SafeFolder> m_folder; // the outermost batch's
    };

private:
    void read();
    void judge();

    QString m_path;
    bool m_exists = true;
    QString m_readError;
    QString m_problem;
    QByteArray m_content;
};
