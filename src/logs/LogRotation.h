#pragma once

#include <QDateTime>
#include <QFileInfo>
#include <QString>
#include <QStringList>

#include <QByteArray>

#include "support/SafeFolder.h"

#include <atomic>
#include <functional>

#include <sys/types.h>

// Room in a log folder that a log may grow into, or that a compression
// writes into, claimed there for every launcher that writes the folder until
// it is given back (when the object goes, or its process ends).
class LogRoom
{
public:
    LogRoom() = default;
    ~LogRoom();
    LogRoom(const LogRoom&) = delete;
    LogRoom& operator=(const LogRoom&) = delete;

private:
    friend class LogRotation;

    SafeFolder m_folder;
    QByteArray m_id;
    QByteArray m_name;
    int m_fd = -1;
};

// Keeps a log folder small. A walk of the folder and its subfolders (hidden
// entries left out, links to folders not followed):
// - compresses each regular *.log file that is older than the rotate period,
//   and each piece that a log split off at its size limit (NAME.log.N), into
//   a gzip file beside it (NAME.log.gz, NAME.log.N.gz), and removes it once
//   that file is safely written;
// - then removes the compressed logs older than the days to keep, and the
//   oldest ones that remain for as long as the logs of the folder, compressed
//   or not, take more than the total size. A log whose time no set clock
//   shows (before 2020) was written before the clock was set: once the clock
//   is right, it takes the time of then and ages from it.
// The total holds at every moment, also for several launchers that write
// one folder: the writer of a log claims room for its next file
// (makeRoom()), a compression for what it writes, each where no other claim
// is; and no two of them change the folder at the same time (a lock on the
// folder).
class LogRotation
{
public:
    // Called at each step of a rotation (a file looked at, a piece read), on
    // the rotation's thread.
    using Progress = std::function<void()>;

    // `rotatePeriod`: the age in seconds beyond which a log is old.
    LogRotation(const QString& folder, qint64 rotatePeriod);
    // Compresses the one piece `piecePath` (of a log written outside the
    // maintained folder) and touches nothing else.
    static LogRotation ofPiece(const QString& piecePath);

    // The folder, or the piece, that the rotation works on.
    const QString& folder() const { return m_folder; }
    // Compressed logs older than this are removed; 0 keeps them.
    void setKeepDays(int days) { m_keepDays = days; }
    // The most that the logs of the folder may take in all; 0: no limit.
    void setMaxTotalSize(qint64 bytes) { m_maxTotalSize = bytes; }
    // Logs that are being written (the running pipeline's): never compressed.
    void setExcluded(const QStringList& paths) { m_excluded = paths; }

    // Compresses, then removes, as above, by the time `now`; a failure with one
    // file never stops the walk. `cancel`, set from another thread, ends the
    // walk within one piece of reading, and the log being compressed stays.
    void rotate(const QDateTime& now, const std::atomic<bool>* cancel = nullptr,
                const Progress& progress = Progress()) const;
    // Writes file.gz beside a regular file, streaming; the file itself stays,
    // and the .gz takes its modification time (the time of its last line).
    // Renamed into place under the lock of `lockedFolder`, when one is given.
    static bool compressFile(const QFileInfo& file, const std::atomic<bool>* cancel = nullptr,
                             const Progress& progress = Progress(),
                             const QString& lockedFolder = QString());

    // Before the log `currentPath` of `folder` begins a file that may grow to
    // `room` bytes: removes the oldest logs that are not compressed (never
    // one that a log is written to), then the oldest compressed ones, then
    // the newest log not compressed, until the logs, the room others have
    // claimed, that room and the room one compression needs fit in
    // `maxTotalSize`. Returns the bytes the current file may take, at most
    // `room` (less only when nothing else is left to remove), and claims
    // them in `taken` for the others; adds the bytes of the uncompressed
    // logs it removed to `dropped`.
    static qint64 makeRoom(const QString& folder, qint64 maxTotalSize, const QString& currentPath,
                           qint64 room, qint64* dropped, LogRoom* taken);

private:
    void compressOldLogs(const QDateTime& now, const std::atomic<bool>* cancel,
                         const Progress& progress) const;
    struct Bound;
    void compressLog(const SafeFolder& folder, const QString& name, const struct stat& status,
                     const std::atomic<bool>* cancel, const Progress& progress, Bound* bound) const;
    static bool compressFile(const SafeFolder& folder, const QString& name,
                             const std::atomic<bool>* cancel, const Progress& progress,
                             const QString& lockedFolder);
    bool claimCompression(LogRoom* room, qint64 size, Bound* bound) const;
    static bool claim(LogRoom* room, const QString& folder, qint64 bytes, dev_t device,
                      ino_t inode);
    void removeCompressedLogs(const QDateTime& now, const std::atomic<bool>* cancel,
                              const Progress& progress) const;

    QString m_folder;
    qint64 m_rotatePeriod;
    int m_keepDays = 0;
    qint64 m_maxTotalSize = 0;
    QStringList m_excluded;
    bool m_onePiece = false;
};
