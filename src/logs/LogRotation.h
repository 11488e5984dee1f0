#pragma once

#include <QDateTime>
#include <QFileInfo>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <mutex>

struct stat;

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
// The total holds at every moment: the writer of a log makes room for its
// next file (makeRoom()), and it and the rotation never change the folder at
// the same time.
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
    static bool compressFile(const QFileInfo& file, const std::atomic<bool>* cancel = nullptr,
                             const Progress& progress = Progress());

    // Before the log `currentPath` of `folder` begins a file that may grow by
    // `room` bytes: removes the oldest logs that are not compressed (never
    // `currentPath`), then the oldest compressed ones, then the newest log
    // not compressed, until the logs, that
    // room and the room one compression needs fit in `maxTotalSize`. Returns
    // the bytes the current file may take without the total being exceeded
    // (less than `room` only when nothing else is left to remove); adds the
    // bytes of the uncompressed logs it removed to `dropped`.
    static qint64 makeRoom(const QString& folder, qint64 maxTotalSize, const QString& currentPath,
                           qint64 room, qint64* dropped);

private:
    void compressOldLogs(const QDateTime& now, const std::atomic<bool>* cancel,
                         const Progress& progress) const;
    // Held while files of a log folder are removed or renamed into place, by
    // the rotation's thread and the writer alike.
    static std::mutex& folderMutex();
    static void compressLog(const QString& logPath, const struct stat& status,
                            const std::atomic<bool>* cancel, const Progress& progress);
    void removeCompressedLogs(const QDateTime& now, const std::atomic<bool>* cancel,
                              const Progress& progress) const;

    QString m_folder;
    qint64 m_rotatePeriod;
    int m_keepDays = 0;
    qint64 m_maxTotalSize = 0;
    QStringList m_excluded;
    bool m_onePiece = false;
};
