#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

#include <functional>
#include <memory>

#include <sys/types.h>

// Reads a log as it grows, as `tail -f` does, and goes on in the file that
// takes its place: the next day's file, or a file made anew at its path after
// the one it read was moved away. Every line reaches the reader once: it
// moves on only when the file it reads has been quiet for a while, so that
// the lines that a writer still put there (a launcher notices a move within a
// second) are read first; a file cut short is read again from its start.
class LogFollower
{
public:
    // The log that is being written now; empty when that is not known, and
    // the one being read is kept.
    using Locator = std::function<QString()>;

    // Begins with the last `lastLines` lines of the file (all when negative).
    LogFollower(Locator locator, int lastLines);

    // Opens the file that the locator names, if none is open yet; false when
    // it cannot be opened.
    bool open();
    // The file being read (or the one that open() tried).
    QString filePath() const { return m_path; }
    // What was written since the last call, at most a mebibyte; empty when
    // nothing was. Once the file has been quiet for a while and another one is
    // being written, the next call reads that one, from its start.
    QByteArray read();

private:
    bool openFile(const QString& path, qint64 position);
    void lookForSuccessor();

    Locator m_locator;
    int m_lastLines;
    QString m_path;
    std::unique_ptr<QFile> m_file;
    dev_t m_device = 0;
    ino_t m_inode = 0;
    qint64 m_position = 0;
    qint64 m_lastGrowthMs = 0;
    qint64 m_lastLookMs = 0;
    QString m_successor;
};
