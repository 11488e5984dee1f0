#pragma once

#include <QDateTime>
#include <QFileInfo>
#include <QString>

// Keeps a log folder small: each regular *.log file of the folder and its
// subfolders that is older than the rotate period is compressed into a gzip
// file beside it (NAME.log.gz), and removed once that file is safely written.
class LogRotation
{
public:
    // `rotatePeriod`: the age in seconds beyond which a log is old.
    LogRotation(const QString& folder, qint64 rotatePeriod);

    // Compresses and removes the logs that are old at `now`; a failure with one
    // file never stops the walk.
    void rotate(const QDateTime& now) const;
    // Writes file.gz beside a regular file, streaming; the file itself stays.
    static bool compressFile(const QFileInfo& file);

private:
    QString m_folder;
    qint64 m_rotatePeriod;
};
