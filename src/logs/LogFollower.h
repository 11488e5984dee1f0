#pragma once

#include <QByteArray>
#include <QString>

#include <deque>
#include <functional>

#include <sys/types.h>

// Reads a log as it grows, as `tail -f` does, and every file that follows it
// at its path, in order: each piece that a launcher splits off at the size
// limit is read to its end before the next, however fast they come, and
// then the file that took its place; so is a file made anew after the one
// read was moved away or removed, and the next day's file. A watch on the
// folder tells at once that the file left its path and under which name
// (NAME.log.N), so that a piece is found even when it went before the
// follower came to it: in its file, or compressed, in NAME.log.N.gz. What
// was removed before it could be read is counted (takeLost()).
class LogFollower
{
public:
    // The log that is being written now; empty when that is not known, and
    // the one being read is kept.
    using Locator = std::function<QString()>;

    // Begins with the last `lastLines` lines of the file (all when negative).
    LogFollower(Locator locator, int lastLines);
    ~LogFollower();
    LogFollower(const LogFollower&) = delete;
    LogFollower& operator=(const LogFollower&) = delete;

    // Opens the file that the locator names, if none is open yet; false when
    // it cannot be opened.
    bool open();
    // The file being followed (or the one that open() tried).
    QString filePath() const { return m_path; }
    // What was written since the last call, at most a mebibyte, in order;
    // empty when nothing was, or when files were lost before the next bytes.
    QByteArray read();
    // The files of the log that were removed before they could be read,
    // since the last call: they are missing just before the next bytes.
    int takeLost();
    // Why the folder cannot be watched (pieces that come and go between two
    // reads are then missed); empty when it is.
    const QString& watchProblem() const { return m_watchProblem; }
    // Returns once a file of the folder came, went or was renamed, or after
    // at most `ms` milliseconds.
    void wait(int ms);

private:
    // One file that was the log's at its path, in the order they were.
    struct File
    {
        quint64 serial = 0;
        int fd = -1;          // open, to be read from here
        void* gzip = nullptr; // or open as a compressed piece (a gzFile)
        QString name;         // where it was moved to, in the folder
        bool atPath = true;   // still the file at the log's path
        dev_t device = 0;
        ino_t inode = 0;
        qint64 position = 0;
    };

    bool follow(const QString& path, qint64 position);
    void closeAll();
    void watch();
    void readEvents();
    void lookAtPath();
    void appeared();
    void overflowed();
    void lookForNextPath();
    bool openAtPath(qint64 position);
    bool openMoved(File& file);
    QByteArray readFrom(File& file);
    void close(File& file);
    File* find(quint64 serial);

    Locator m_locator;
    int m_lastLines;
    QString m_path;
    QString m_folder;
    QByteArray m_name;
    std::deque<File> m_files;
    quint64 m_nextSerial = 0;
    int m_inotify = -1;
    int m_watch = -1;
    QString m_watchProblem;
    // The file that left the path under this rename's cookie.
    quint32 m_moveCookie = 0;
    quint64 m_moving = 0;
    int m_lost = 0;
    qint64 m_lastLookMs = 0;
    QString m_nextPath;
};
