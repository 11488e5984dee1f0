#include "support/SafeFolder.h"

#include "support/Descriptor.h"
#include "support/LauncherSupport.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QStringList>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using LauncherSupport::errorText;
using LauncherSupport::modeText;

namespace {

// More links than any real path has: a loop, or a maze someone built.
const int MaxLinks = 40;

bool isTrustedOwner(uid_t owner)
{
    return owner == ::geteuid() || owner == 0;
}

// What the entry is, when it is not what the launcher may use.
QString kindText(mode_t mode)
{
    if (S_ISLNK(mode))
        return QStringLiteral("is a symbolic link");
    if (S_ISDIR(mode))
        return QStringLiteral("is a folder");
    if (S_ISFIFO(mode))
        return QStringLiteral("is a FIFO");
    if (S_ISSOCK(mode))
        return QStringLiteral("is a socket");
    return QStringLiteral("is not a regular file");
}

// Why an entry may not be written, replaced or read; empty when it may. What
// belongs to another user is never written; it is read only where no one
// else could have put it.
QString entryRefusal(const struct stat& info, bool mustBeOwn = true)
{
    if (!S_ISREG(info.st_mode))
        return kindText(info.st_mode);
    if (mustBeOwn && info.st_uid != ::geteuid())
        return QStringLiteral("belongs to user %1").arg(info.st_uid);
    if (info.st_nlink != 1)
        return QStringLiteral("has %1 names (a hard link)").arg(info.st_nlink);
    return QString();
}

// Why the open folder may not hold the launcher's files; empty when it may.
QString folderRefusal(const struct stat& info, bool& shared)
{
    if (!S_ISDIR(info.st_mode))
        return QStringLiteral("is not a folder");
    if (!isTrustedOwner(info.st_uid))
        return QStringLiteral("is owned by user %1").arg(info.st_uid);
    const mode_t mode = info.st_mode & 07777;
    shared = (mode & 022) != 0;
    if (shared && !(mode & S_ISVTX))
        return QStringLiteral("may be written by other users and is not sticky (mode %1)")
            .arg(modeText(mode));
    return QString();
}

} // namespace

SafeFolder::~SafeFolder()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

SafeFolder::SafeFolder(SafeFolder&& other) noexcept
    : m_fd(std::exchange(other.m_fd, -1)), m_path(std::move(other.m_path)),
      m_problem(std::move(other.m_problem)), m_shared(other.m_shared), m_unsafe(other.m_unsafe),
      m_device(other.m_device), m_inode(other.m_inode)
{
}

SafeFolder& SafeFolder::operator=(SafeFolder&& other) noexcept
{
    if (this != &other) {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = std::exchange(other.m_fd, -1);
        m_path = std::move(other.m_path);
        m_problem = std::move(other.m_problem);
        m_shared = other.m_shared;
        m_unsafe = other.m_unsafe;
        m_device = other.m_device;
        m_inode = other.m_inode;
    }
    return *this;
}

SafeFolder SafeFolder::open(const QString& path, Make make)
{
    SafeFolder folder;
    folder.m_path = QDir::cleanPath(path);
    const auto refuse = [&folder](const QString& where, const QString& why) {
        folder.m_problem = QStringLiteral("'%1' %2").arg(where, why);
        return std::move(folder);
    };
    if (!QDir::isAbsolutePath(folder.m_path))
        return refuse(path, QStringLiteral("is not an absolute path"));

    // Walked from the root through descriptors, so that what was looked at
    // is what the next step opens.
    Descriptor current(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    QStringList todo = folder.m_path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    QString reached;
    int links = 0;
    while (!todo.isEmpty()) {
        const QString component = todo.takeFirst();
        if (component == QLatin1String("."))
            continue;
        reached += QLatin1Char('/') + component;
        const QByteArray name = QFile::encodeName(component);
        struct stat info = {};
        if (::fstatat(current.get(), name.constData(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            const int error = errno;
            if (error != ENOENT || make == Existing ||
                (::mkdirat(current.get(), name.constData(), 0755) != 0 && errno != EEXIST) ||
                ::fstatat(current.get(), name.constData(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
                const int failed = error == ENOENT && make != Existing ? errno : error;
                return refuse(
                    reached,
                    failed == ENOENT
                        ? QStringLiteral("does not exist")
                        : QStringLiteral("cannot be made or examined: %1").arg(errorText(failed)));
            }
        }
        if (S_ISLNK(info.st_mode)) {
            // Only a link that no one else can have planted leads on.
            if (!isTrustedOwner(info.st_uid))
                return refuse(reached,
                              QStringLiteral("is a symbolic link of user %1").arg(info.st_uid));
            if (++links > MaxLinks)
                return refuse(reached, QStringLiteral("leads through too many links"));
            QByteArray target(PATH_MAX, '\0');
            const ssize_t size =
                ::readlinkat(current.get(), name.constData(), target.data(), size_t(target.size()));
            if (size <= 0 || size >= target.size())
                return refuse(reached, QStringLiteral("is a link that cannot be read"));
            target.truncate(int(size));
            const QString to = QFile::decodeName(target);
            if (to.startsWith(QLatin1Char('/')))
                current.reset(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
            todo = to.split(QLatin1Char('/'), Qt::SkipEmptyParts) + todo;
            continue;
        }
        if (!S_ISDIR(info.st_mode))
            return refuse(reached, QStringLiteral("is not a folder"));
        const int next = ::openat(current.get(), name.constData(),
                                  O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0)
            return refuse(reached, QStringLiteral("was replaced while it was opened"));
        current.reset(next);
    }

    Descriptor opened(::openat(current.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat info = {};
    if (opened.get() < 0 || ::fstat(opened.get(), &info) != 0)
        return refuse(folder.m_path, QStringLiteral("cannot be opened: %1").arg(errorText(errno)));
    const QString refusal = folderRefusal(info, folder.m_shared);
    if (!refusal.isEmpty()) {
        folder.m_unsafe = true;
        return refuse(folder.m_path, refusal);
    }
    folder.m_fd = opened.release();
    folder.m_device = info.st_dev;
    folder.m_inode = info.st_ino;
    return folder;
}

bool SafeFolder::stillHolds() const
{
    struct stat atPath = {};
    struct stat held = {};
    bool shared = false;
    return m_fd >= 0 && ::stat(QFile::encodeName(m_path).constData(), &atPath) == 0 &&
           atPath.st_dev == m_device && atPath.st_ino == m_inode && ::fstat(m_fd, &held) == 0 &&
           folderRefusal(held, shared).isEmpty() && shared == m_shared;
}

bool SafeFolder::isClosed(QString& problem) const
{
    if (m_fd >= 0)
        return false;
    problem = m_problem.isEmpty() ? QStringLiteral("no folder is open") : m_problem;
    return true;
}

QString SafeFolder::pathOf(const QString& name) const
{
    return m_path == QLatin1String("/") ? m_path + name : m_path + QLatin1Char('/') + name;
}

QString SafeFolder::refusal(const QString& name) const
{
    QString closed;
    if (isClosed(closed))
        return closed;
    struct stat info = {};
    if (::fstatat(m_fd, QFile::encodeName(name).constData(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT)
            return QString();
        return QStringLiteral("'%1' cannot be examined: %2").arg(pathOf(name), errorText(errno));
    }
    const QString why = entryRefusal(info);
    return why.isEmpty() ? why : QStringLiteral("'%1' %2").arg(pathOf(name), why);
}

int SafeFolder::create(const QString& name, mode_t mode, QString& problem) const
{
    if (isClosed(problem))
        return -1;
    const int fd =
        ::openat(m_fd, QFile::encodeName(name).constData(),
                 O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode);
    if (fd < 0) {
        const int error = errno;
        problem = error == EEXIST ? refusal(name) : QString();
        if (problem.isEmpty())
            problem = QStringLiteral("'%1' cannot be made: %2").arg(pathOf(name), errorText(error));
    }
    return fd;
}

int SafeFolder::openToAppend(const QString& name, mode_t mode, QString& problem) const
{
    if (isClosed(problem))
        return -1;
    const QByteArray encoded = QFile::encodeName(name);
    // Twice: a file removed between the two opens is made anew.
    for (int attempt = 0; attempt < 2; ++attempt) {
        Descriptor fd(::openat(m_fd, encoded.constData(),
                               O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (fd.get() >= 0) {
            struct stat info = {};
            if (::fstat(fd.get(), &info) != 0) {
                problem = QStringLiteral("'%1' cannot be examined: %2")
                              .arg(pathOf(name), errorText(errno));
                return -1;
            }
            const QString why = entryRefusal(info);
            if (!why.isEmpty()) {
                problem = QStringLiteral("'%1' %2").arg(pathOf(name), why);
                return -1;
            }
            return fd.release();
        }
        if (errno != ENOENT) {
            const int error = errno;
            problem = refusal(name);
            if (problem.isEmpty())
                problem =
                    QStringLiteral("'%1' cannot be opened: %2").arg(pathOf(name), errorText(error));
            return -1;
        }
        const int made = ::openat(
            m_fd, encoded.constData(),
            O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode);
        if (made >= 0 || errno != EEXIST) {
            if (made < 0)
                problem =
                    QStringLiteral("'%1' cannot be made: %2").arg(pathOf(name), errorText(errno));
            return made;
        }
    }
    problem = QStringLiteral("'%1' keeps changing").arg(pathOf(name));
    return -1;
}

int SafeFolder::openToRead(const QString& name, QString& problem) const
{
    if (isClosed(problem))
        return -1;
    Descriptor fd(::openat(m_fd, QFile::encodeName(name).constData(),
                           O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat info = {};
    if (fd.get() < 0 || ::fstat(fd.get(), &info) != 0) {
        const int error = errno;
        problem.clear();
        if (error == ENOENT)
            return -1;
        problem = refusal(name);
        if (problem.isEmpty())
            problem =
                QStringLiteral("'%1' cannot be opened: %2").arg(pathOf(name), errorText(error));
        return -1;
    }
    problem = readingRefusal(name, info);
    return problem.isEmpty() ? fd.release() : -1;
}

QString SafeFolder::readingRefusal(const QString& name, const struct stat& info) const
{
    const QString why = entryRefusal(info, m_shared);
    return why.isEmpty() ? why : QStringLiteral("'%1' %2").arg(pathOf(name), why);
}

int SafeFolder::createTemporary(const QString& name, mode_t mode, QString& temporary,
                                QString& problem) const
{
    if (isClosed(problem))
        return -1;
    // A name that no listing of the launcher's files takes for one of them.
    // The first is predictable; one planted there only moves the launcher
    // on to names of chance.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QString suffix = attempt == 0
                                   ? QString::number(::getpid())
                                   : QString::number(QRandomGenerator::system()->generate64(), 36);
        temporary = QStringLiteral(".%1.%2.tmp").arg(name, suffix);
        const int fd = ::openat(m_fd, QFile::encodeName(temporary).constData(),
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0)
            return fd;
        if (errno != EEXIST) {
            problem =
                QStringLiteral("'%1' cannot be made: %2").arg(pathOf(temporary), errorText(errno));
            return -1;
        }
    }
    problem = QStringLiteral("no temporary name for '%1' is free").arg(pathOf(name));
    return -1;
}

bool SafeFolder::moveIntoPlace(const QString& from, const QString& to, QString& problem) const
{
    if (isClosed(problem))
        return false;
    problem = refusal(to);
    if (!problem.isEmpty())
        return false;
    const QByteArray source = QFile::encodeName(from);
    const QByteArray target = QFile::encodeName(to);
    // Onto a missing name, the name must still be missing: what someone
    // puts there meanwhile is looked at before it is replaced.
    if (::renameat2(m_fd, source.constData(), m_fd, target.constData(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno == EEXIST) {
        problem = refusal(to);
        if (!problem.isEmpty())
            return false;
    } else if (errno != EINVAL && errno != ENOSYS) {
        problem = QStringLiteral("'%1' cannot be renamed to '%2': %3")
                      .arg(pathOf(from), pathOf(to), errorText(errno));
        return false;
    }
    if (::renameat(m_fd, source.constData(), m_fd, target.constData()) == 0)
        return true;
    problem = QStringLiteral("'%1' cannot be renamed to '%2': %3")
                  .arg(pathOf(from), pathOf(to), errorText(errno));
    return false;
}

bool SafeFolder::moveToNewName(const QString& from, const QString& to, bool& taken,
                               QString& problem) const
{
    taken = false;
    if (isClosed(problem))
        return false;
    const QByteArray source = QFile::encodeName(from);
    const QByteArray target = QFile::encodeName(to);
    int result = ::renameat2(m_fd, source.constData(), m_fd, target.constData(), RENAME_NOREPLACE);
    // A file system that cannot refuse to replace: looked at first.
    if (result != 0 && (errno == EINVAL || errno == ENOSYS)) {
        struct stat info = {};
        if (::fstatat(m_fd, target.constData(), &info, AT_SYMLINK_NOFOLLOW) == 0)
            errno = EEXIST;
        else
            result = ::renameat(m_fd, source.constData(), m_fd, target.constData());
    }
    if (result == 0)
        return true;
    taken = errno == EEXIST;
    problem = QStringLiteral("'%1' cannot be renamed to '%2': %3")
                  .arg(pathOf(from), pathOf(to), errorText(errno));
    return false;
}

bool SafeFolder::replace(const QString& name, const QByteArray& content, mode_t mode,
                         QString& problem) const
{
    // Refused before anything is made: no temporary file is left for nothing.
    if (isClosed(problem))
        return false;
    problem = refusal(name);
    if (!problem.isEmpty())
        return false;
    QString temporary;
    Descriptor fd(createTemporary(name, mode, temporary, problem));
    if (fd.get() < 0)
        return false;
    const char* data = content.constData();
    qint64 left = content.size();
    while (left > 0) {
        const ssize_t written = ::write(fd.get(), data, size_t(left));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            problem = QStringLiteral("'%1' cannot be written: %2")
                          .arg(pathOf(temporary), errorText(written < 0 ? errno : ENOSPC));
            break;
        }
        data += written;
        left -= written;
    }
    if (left == 0 && ::close(fd.release()) != 0)
        problem =
            QStringLiteral("'%1' cannot be written: %2").arg(pathOf(temporary), errorText(errno));
    if (problem.isEmpty() && moveIntoPlace(temporary, name, problem))
        return true;
    QString ignored;
    remove(temporary, ignored);
    return false;
}

bool SafeFolder::makeFolder(const QString& name, mode_t mode, QString& problem) const
{
    if (isClosed(problem))
        return false;
    if (::mkdirat(m_fd, QFile::encodeName(name).constData(), mode) == 0 || errno == EEXIST)
        return true;
    problem = QStringLiteral("'%1' cannot be made: %2").arg(pathOf(name), errorText(errno));
    return false;
}

bool SafeFolder::remove(const QString& name, QString& problem) const
{
    return removeEntry(name, false, problem);
}

bool SafeFolder::removeFolder(const QString& name, QString& problem) const
{
    return removeEntry(name, true, problem);
}

// A file (or socket), in a shared folder only the user's own; or a folder,
// only ever the user's own. Looked at without following a link, then
// unlinked: a name already gone counts as removed.
bool SafeFolder::removeEntry(const QString& name, bool folder, QString& problem) const
{
    if (isClosed(problem))
        return false;
    const QByteArray encoded = QFile::encodeName(name);
    struct stat info = {};
    if (::fstatat(m_fd, encoded.constData(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT)
            return true;
        problem = QStringLiteral("'%1' cannot be examined: %2").arg(pathOf(name), errorText(errno));
        return false;
    }
    const bool kindOk =
        folder ? S_ISDIR(info.st_mode) : S_ISREG(info.st_mode) || S_ISSOCK(info.st_mode);
    if (!kindOk) {
        problem = QStringLiteral("'%1' %2").arg(
            pathOf(name), folder ? QStringLiteral("is not a folder") : kindText(info.st_mode));
        return false;
    }
    if ((folder || m_shared) && info.st_uid != ::geteuid()) {
        problem = QStringLiteral("'%1' belongs to user %2").arg(pathOf(name)).arg(info.st_uid);
        return false;
    }
    if (::unlinkat(m_fd, encoded.constData(), folder ? AT_REMOVEDIR : 0) == 0 || errno == ENOENT)
        return true;
    problem = QStringLiteral("'%1' cannot be removed: %2").arg(pathOf(name), errorText(errno));
    return false;
}
