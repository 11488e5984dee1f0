#pragma once

#include "PipelineConfig.h"
#include "support/SafeFolder.h"

#include <QByteArray>
#include <QDate>
#include <QString>

#include <functional>
#include <memory>

#include <sys/stat.h>
#include <sys/types.h>

struct iovec;
class LogRoom;

// The dated log file of one pipeline run, written with plain system calls.
//
// Every batch of lines reaches the file in one write() on a descriptor opened
// for appending, so that other writers of the same file (a second launcher)
// never split a line. A batch that cannot be written (a full disk, a read-only
// file system) is dropped rather than kept, so memory stays bounded; the
// failure is reported once, and when writing works again a line tells how many
// lines were lost. A file removed or renamed while the run goes on is noticed
// (checked at most once a second) and made anew at its path; so is a file that
// reaches its size limit, once it has been moved aside as a piece.
class PipelineLog
{
public:
    // The absolute path of the pipeline's log file of a day:
    // "<logPath>/<logBasename>-yyyy-MM-dd.log". Every reader names a log by it.
    static QString filePath(const PipelineConfig& pipelineConfig, const QDate& date);
    // The file of today (DateChangeTimer::today()).
    static QString filePath(const PipelineConfig& pipelineConfig);

    // The current local time as "[yyyy-MM-dd hh:mm:ss.zzz]"; the calendar part
    // is converted once per second.
    static QByteArray timeStampText();

    // Creates the folder and opens (or creates) the file for appending. A link
    // in the file's place is refused. Null, after a trace error naming the
    // folder or the file, when that fails.
    static std::unique_ptr<PipelineLog> open(const QString& filePath);

    ~PipelineLog();
    PipelineLog(const PipelineLog&) = delete;
    PipelineLog& operator=(const PipelineLog&) = delete;

    const QString& filePath() const { return m_filePath; }

    // Writes complete lines, each ending in "\n", in one write(); lineCount is
    // how many there are (for the count of lost lines).
    void write(const char* data, qint64 size, int lineCount);
    void write(const QByteArray& lines, int lineCount)
    {
        write(lines.constData(), lines.size(), lineCount);
    }

    // Lines dropped since the last successful write.
    qint64 lostLines() const { return m_lostLines; }
    // Over this log's life: the bytes that reached its files, and the lines
    // that could not be written or were dropped.
    qint64 bytesWritten() const { return m_bytesWritten; }
    qint64 linesLost() const { return m_linesLost; }

    // A file that would grow beyond `fileBytes` (0: no limit) is moved aside
    // as the next numbered piece, "NAME.log.N", at the end of the line that
    // crosses the limit, and the lines go on in a new file at the path, whose
    // first line says where the earlier ones are; onSplit gets the piece's
    // path. A log in `folder` keeps the logs there within `totalBytes` (0: no
    // limit) at every moment: each new file first makes room for itself
    // (LogRotation::makeRoom()), and output beyond that room is dropped and
    // told. Looked at now, then at every write, from a count of the bytes
    // written.
    void limitSize(qint64 fileBytes, const QString& folder, qint64 totalBytes,
                   std::function<void(const QString& piece)> onSplit);

private:
    explicit PipelineLog(const QString& filePath);

    bool openFolder(QString& problem);
    bool openFile(QString& problem);
    void reopenFile();
    // Whether the file at the log's name is the one this log writes.
    bool isStillAtItsName(struct stat& status) const;
    void closeFile();
    void checkFile();
    void writeLines(const char* data, qint64 size, int lineCount);
    void writeBounded(const char* data, qint64 size);
    bool split();
    bool renameToNextPiece(QString& piece, QString& problem);
    void makeRoom();
    void updateLimit();
    void drop(qint64 bytes);
    void writeDropNotice();
    bool writeNotice(const QByteArray& text);
    bool writeAll(iovec* parts, int partCount);

    QString m_filePath;
    QByteArray m_encodedPath;
    // The file's folder, and its name there: every file of the log is made,
    // opened and renamed through it.
    SafeFolder m_dir;
    QString m_name;
    QByteArray m_encodedName;
    int m_fd = -1;
    dev_t m_device = 0;
    ino_t m_inode = 0;
    qint64 m_nextCheckMs = 0;
    qint64 m_lostLines = 0;
    qint64 m_bytesWritten = 0;
    qint64 m_linesLost = 0;
    bool m_failureReported = false;
    // A write that failed half-way left an unfinished line in the file.
    bool m_lineOpen = false;
    // The file's size as this log wrote it (looked at anew once a second),
    // and as it was opened: a file of nothing new is not split.
    qint64 m_size = 0;
    qint64 m_openedSize = 0;
    // The size limit as set, and as a piece is split at.
    qint64 m_sizeLimit = 0;
    qint64 m_pieceLimit = 0;
    // The log folder whose total this log keeps, and the most the file may
    // take within it, as claimed there for other launchers that write it.
    QString m_folder;
    qint64 m_maxTotalSize = 0;
    qint64 m_room = 0;
    std::unique_ptr<LogRoom> m_claim;
    // The smaller of the two limits: the one test of the write path.
    qint64 m_limit = 0;
    // Output removed or never written for the total, not yet told in the file.
    qint64 m_droppedBytes = 0;
    bool m_dropReported = false;
    // The number of the last piece of this log: pieces count from 1 up, in
    // the order they were split off.
    qint64 m_lastPiece = 0;
    std::function<void(const QString&)> m_onSplit;
};
