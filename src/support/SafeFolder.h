#pragma once

#include <QString>

#include <sys/stat.h>
#include <sys/types.h>

// A folder opened once and checked, in which the launcher makes, replaces,
// appends to and removes its files through the folder's descriptor: never by
// a path name that someone else could have turned into a link.
//
// The folder is reached one component at a time, following a link only when
// it belongs to the launcher's user or root (no one else can have planted
// it), and is used when it is a folder of the launcher's user or root that no
// one else may write. A folder that others may write is refused unless it is
// sticky (/tmp): then it is "shared", and only what the launcher's user owns
// is replaced or removed there, as the kernel itself allows.
//
// What stands at a name is written or replaced only when it is a regular
// file of the launcher's user with one link; read only when it is a regular
// file with one link, and removed only when it is a regular file (or a
// socket), both in a shared folder only the launcher's user's: a link, a
// second name of someone's file, a FIFO or a folder is refused, with the reason.
// Every refusal and failure is a text for one line, naming the path; a
// folder that could not be opened answers every use with why.
//
// Each object owns its descriptor; a const one may be used from any thread.
class SafeFolder
{
public:
    enum Make
    {
        Existing,    // the folder must be there
        MakeMissing, // missing folders on the way are made, mode 0755
    };

    SafeFolder() = default;
    ~SafeFolder();
    SafeFolder(SafeFolder&& other) noexcept;
    SafeFolder& operator=(SafeFolder&& other) noexcept;
    SafeFolder(const SafeFolder&) = delete;
    SafeFolder& operator=(const SafeFolder&) = delete;

    // Opens and checks the folder at an absolute path.
    static SafeFolder open(const QString& path, Make make = Existing);

    bool isOpen() const { return m_fd >= 0; }
    // Not opened because someone else could change what is in it (rather
    // than because it is missing or cannot be reached).
    bool isUnsafe() const { return m_unsafe; }
    // Why the folder cannot be used (empty when it can): "'/tmp/x' is owned by user 1001".
    const QString& problem() const { return m_problem; }
    const QString& path() const { return m_path; }
    int descriptor() const { return m_fd; }
    // Whether the path still leads to this very folder (not removed or
    // swapped) and it still passes its checks (no one made it writable).
    bool stillHolds() const;

    // The path of a name in this folder, for messages.
    QString pathOf(const QString& name) const;

    // A new file that no one else has: -1 when the name is taken or refused.
    int create(const QString& name, mode_t mode, QString& problem) const;
    // The file to append to: made when missing, otherwise accepted as above.
    // Non-blocking, so that nothing in its place can hold the launcher up.
    int openToAppend(const QString& name, mode_t mode, QString& problem) const;
    // A file to read (a log to compress): a regular file with one name, and
    // in a shared folder the launcher's user's. -1 with problem empty when
    // nothing is there.
    int openToRead(const QString& name, QString& problem) const;
    // Why openToRead() would refuse what NAME's lstat shows; empty when it would not.
    QString readingRefusal(const QString& name, const struct stat& info) const;

    // A temporary file beside NAME, to be moved into its place with
    // moveIntoPlace() or removed: a name of its own, never one that exists.
    int createTemporary(const QString& name, mode_t mode, QString& temporary,
                        QString& problem) const;
    // Renames FROM (a temporary file of createTemporary()) to TO, which must
    // be missing or a file that may be replaced.
    bool moveIntoPlace(const QString& from, const QString& to, QString& problem) const;
    // Renames FROM to TO only while nothing is at TO; taken tells that
    // something was (and nothing happened).
    bool moveToNewName(const QString& from, const QString& to, bool& taken, QString& problem) const;
    // The whole file at once: written under a temporary name, then renamed.
    bool replace(const QString& name, const QByteArray& content, mode_t mode,
                 QString& problem) const;

    // Makes the folder NAME (MODE, less the umask) unless something is
    // there already: what is there, the one who looks into it next checks.
    bool makeFolder(const QString& name, mode_t mode, QString& problem) const;

    // Removes a file (or socket), in a shared folder only the launcher's
    // user's; a name that is already gone counts as removed.
    bool remove(const QString& name, QString& problem) const;
    // Removes an empty folder of the launcher's own.
    bool removeFolder(const QString& name, QString& problem) const;

private:
    // Why the entry at NAME may not be written or replaced, empty when it
    // may (or when nothing is there).
    QString refusal(const QString& name) const;
    // Every use of a folder that is not open fails with why it is not.
    bool isClosed(QString& problem) const;
    bool removeEntry(const QString& name, bool folder, QString& problem) const;

    int m_fd = -1;
    QString m_path;
    QString m_problem;
    bool m_shared = false;
    bool m_unsafe = false;
    dev_t m_device = 0;
    ino_t m_inode = 0;
};
