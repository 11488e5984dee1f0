#include "config/SettingsFile.h"

#include "config/ConfigKeys.h"
#include "support/LauncherSupport.h"
#include "support/SafeFolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QSettings>

#include <cerrno>
#include <cstring>
#include <mutex>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString tooLarge()
{
    return QStringLiteral("larger than %1 MiB, so no settings file")
        .arg(SettingsFile::MaxSize >> 20);
}

// Writes `size` bytes to `fd`; false with errno set when it could not.
bool writeAll(int fd, const char* data, qint64 size)
{
    while (size > 0) {
        const ssize_t count = ::write(fd, data, size_t(size));
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            return false;
        data += count;
        size -= count;
    }
    return true;
}

// A folder of the user's own that no one else may enter, as a runtime folder is.
bool isPrivateFolder(const QString& path)
{
    struct stat status = {};
    return QDir::isAbsolutePath(path) &&
           ::lstat(QFile::encodeName(path).constData(), &status) == 0 && S_ISDIR(status.st_mode) &&
           status.st_uid == ::geteuid() && (status.st_mode & 077) == 0;
}

// Where the private folder goes: a runtime folder (the login's, or the one
// that the system unit has made), else the shared memory folder, memory file
// systems both, so that the copies never reach a disk (a kiosk's SD card);
// else the temporary folder. In the shared ones, sticky, no one else can move
// the private folder away.
QString copiesParent()
{
    for (const char* variable : {"XDG_RUNTIME_DIR", "RUNTIME_DIRECTORY"}) {
        const QString folder = qEnvironmentVariable(variable).section(QLatin1Char(':'), 0, 0);
        if (isPrivateFolder(folder))
            return folder;
    }
    struct stat status = {};
    if (::lstat("/dev/shm", &status) == 0 && S_ISDIR(status.st_mode) &&
        (status.st_mode & S_ISVTX) && ::access("/dev/shm", W_OK | X_OK) == 0)
        return QStringLiteral("/dev/shm");
    return QDir::tempPath();
}

const QLatin1String CopiesFolderPrefix("launcher-settings-");

// The folders of copies that launchers killed outright (SIGKILL at the end of
// a stop timeout) left behind: empty, private and this user's own. One that a
// running launcher uses may be empty between two copies; that launcher makes
// itself a new one.
void removeLeftFolders(const SafeFolder& parent)
{
    const QStringList names = QDir(parent.path())
                                  .entryList({CopiesFolderPrefix + QStringLiteral("??????")},
                                             QDir::Dirs | QDir::NoDotAndDotDot);
    QString ignored;
    for (const QString& name : names) {
        struct stat status = {};
        if (::fstatat(parent.descriptor(), QFile::encodeName(name).constData(), &status,
                      AT_SYMLINK_NOFOLLOW) == 0 &&
            (status.st_mode & 077) == 0)
            parent.removeFolder(name, ignored);
    }
}

// The copies that the settings reader reads, in a folder of the process's own
// (0700), each named by a count that never goes back. A folder that a cleaner
// of the temporary folder removed during months of running is made anew.
class PrivateCopies
{
public:
    ~PrivateCopies()
    {
        QString ignored;
        if (m_folder.isOpen())
            m_parent.removeFolder(QFileInfo(m_folder.path()).fileName(), ignored);
    }

    // The path of a new file that holds `content`; empty, with the reason in
    // `error`, when none could be written.
    QString write(const QByteArray& content, QString* error)
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (!m_folder.isOpen() || attempt > 0) {
                const bool first = !m_parent.isOpen();
                m_parent = SafeFolder::open(copiesParent());
                if (first && m_parent.isOpen())
                    removeLeftFolders(m_parent);
                m_folder = m_parent.isOpen() ? m_parent.makePrivateFolder(CopiesFolderPrefix)
                                             : SafeFolder();
                if (!m_folder.isOpen()) {
                    *error = QStringLiteral("no private folder for its copy: %1")
                                 .arg(m_parent.isOpen() ? m_folder.problem() : m_parent.problem());
                    return QString();
                }
            }
            const QString name = QStringLiteral("%1.ini").arg(++m_count);
            QString problem;
            const int fd = m_folder.create(name, 0600, problem);
            // Removed under the launcher: a new folder.
            if (fd < 0 && !m_folder.stillHolds())
                continue;
            const bool written = fd >= 0 && writeAll(fd, content.constData(), content.size());
            if (fd >= 0 && !written) {
                const QString why = LauncherSupport::errorText(errno);
                problem =
                    QStringLiteral("'%1' could not be written: %2").arg(m_folder.pathOf(name), why);
            }
            *error = written ? QString() : QStringLiteral("its private copy: %1").arg(problem);
            if (fd >= 0)
                ::close(fd);
            if (written)
                return m_folder.pathOf(name);
            m_folder.remove(name, problem);
            return QString();
        }
        *error = QStringLiteral("its private folder in '%1' is gone").arg(m_parent.path());
        return QString();
    }

    // Removes a copy that write() made.
    void remove(const QString& path)
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        QString ignored;
        m_folder.remove(QFileInfo(path).fileName(), ignored);
    }

private:
    std::mutex m_mutex;
    SafeFolder m_parent;
    SafeFolder m_folder;
    quint64 m_count = 0;
};

PrivateCopies& privateCopies()
{
    static PrivateCopies copies;
    return copies;
}

} // namespace

SettingsFile::SettingsFile(const QString& path) : m_path(path)
{
    read();
    if (!m_readError.isEmpty())
        m_problem = QStringLiteral("cannot be read: %1").arg(m_readError);
    else if (m_content.contains('\0'))
        m_problem = QStringLiteral("binary content (a NUL byte), so no settings file");
    // The settings reader turns a value written as @Variant(...) into an
    // object from binary data, trusting sizes that the file states.
    else if (ConfigKeys::holdsSerializedValue(m_content))
        m_problem = QStringLiteral("holds a serialized value (%1...), which the launcher does not "
                                   "read: the file is ignored")
                        .arg(QLatin1String(ConfigKeys::SerializedValueMarker));
}

void SettingsFile::read()
{
    // Non-blocking: a FIFO must not hold up loading before fstat tells what it is.
    const int fd = ::open(QFile::encodeName(m_path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        m_exists = errno != ENOENT && errno != ENOTDIR;
        m_readError = LauncherSupport::errorText(errno);
        return;
    }
    const auto closeFile = qScopeGuard([fd] { ::close(fd); });
    struct stat status = {};
    if (::fstat(fd, &status) != 0) {
        m_readError = LauncherSupport::errorText(errno);
        return;
    }
    if (S_ISDIR(status.st_mode)) {
        m_readError = QStringLiteral("it is a folder");
        return;
    }
    if (!S_ISREG(status.st_mode)) {
        m_readError = QStringLiteral("not a regular file");
        return;
    }
    if (status.st_size > MaxSize) {
        m_readError = tooLarge();
        return;
    }
    // One read takes a file that has not grown since fstat; the byte beyond
    // tells that it has, and a file that has grown past the limit is refused.
    m_content.resize(int(status.st_size) + 1);
    qint64 size = 0;
    for (;;) {
        if (size == m_content.size()) {
            if (size > MaxSize) {
                m_content.clear();
                m_readError = tooLarge();
                return;
            }
            m_content.resize(int(std::min<qint64>(size * 2 + 4096, MaxSize + 1)));
        }
        const ssize_t count = ::read(fd, m_content.data() + size, size_t(m_content.size() - size));
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0) {
            m_content.clear();
            m_readError = LauncherSupport::errorText(errno);
            return;
        }
        if (count == 0)
            break;
        size += count;
    }
    m_content.truncate(int(size));
}

std::unique_ptr<QSettings> SettingsFile::settings(QString* error) const
{
    QString copyError;
    const QString copy = isReadable() ? privateCopies().write(m_content, &copyError) : QString();
    // The reader parses the whole file when it is made: the copy can go at once.
    auto settings = std::make_unique<QSettings>(copy, QSettings::IniFormat);
    settings->setIniCodec("UTF-8");
    if (!copy.isEmpty())
        privateCopies().remove(copy);
    if (error)
        *error = copyError;
    return settings;
}
