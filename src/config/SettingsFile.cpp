#include "config/SettingsFile.h"

#include "ConfigLinter.h"
#include "config/ConfigKeys.h"
#include "support/LauncherSupport.h"
#include "support/RuntimeFolder.h"
#include "support/SafeFolder.h"

#include <QFile>
#include <QScopeGuard>
#include <QSettings>

#include <atomic>
#include <cerrno>
#include <optional>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString tooLarge()
{
    return QStringLiteral("larger than %1 MiB, so no settings file")
        .arg(SettingsFile::MaxSize >> 20);
}

// The folder of this thread's copies while a batch lives (else null).
thread_local SafeFolder* t_batchFolder = nullptr;

// A copy of the bytes read, for the settings reader to parse: a file of its
// own in the launcher's runtime folder, which no one else may enter, removed
// when the object goes. Its name is never used twice in a process, so that
// the reader's parse of an earlier copy is never taken for this one.
class PrivateCopy
{
public:
    PrivateCopy(const QByteArray& content, QString* error)
    {
        static std::atomic<quint64> count{0};
        const QString name = QStringLiteral("settings-%1-%2.ini").arg(::getpid()).arg(++count);
        SafeFolder& folder = t_batchFolder ? *t_batchFolder : m_own;
        bool findAnew = !folder.isOpen();
        // Found twice at most: another launcher removes the runtime folder
        // when it is left empty, and the batch's folder may be gone since.
        for (int finds = 0; finds < 2;) {
            if (findAnew) {
                const RuntimeFolder::Found runtime = RuntimeFolder().find(RuntimeFolder::Make);
                if (runtime.path.isEmpty()) {
                    *error =
                        QStringLiteral("no private folder for its copy: %1").arg(runtime.problem);
                    return;
                }
                folder = SafeFolder::open(runtime.path);
                ++finds;
            }
            findAnew = true;
            QString problem = folder.problem();
            if (folder.isOpen() && folder.replace(name, content, 0600, problem)) {
                m_folder = &folder;
                m_name = name;
                error->clear();
                return;
            }
            *error = QStringLiteral("its private copy: %1").arg(problem);
            if (folder.stillHolds())
                return;
        }
    }
    ~PrivateCopy()
    {
        QString ignored;
        if (m_folder)
            m_folder->remove(m_name, ignored);
    }
    PrivateCopy(const PrivateCopy&) = delete;
    PrivateCopy& operator=(const PrivateCopy&) = delete;

    // Empty when no copy could be written.
    QString path() const { return m_folder ? m_folder->pathOf(m_name) : QString(); }

private:
    SafeFolder m_own;
    const SafeFolder* m_folder = nullptr; // where the copy is, once written
    QString m_name;
};

} // namespace

SettingsFile::SettingsFile(const QString& path) : m_path(path)
{
    read();
    judge();
}

SettingsFile::SettingsFile(const QString& path, const QByteArray& content, const QString& readError)
    : m_path(path), m_readError(readError), m_content(readError.isEmpty() ? content : QByteArray())
{
    judge();
}

void SettingsFile::judge()
{
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
    std::unique_ptr<QSettings> settings;
    {
        std::optional<PrivateCopy> copy;
        if (isReadable())
            copy.emplace(m_content, &copyError);
        // The reader parses the whole file when it is made: the copy goes at once.
        settings =
            std::make_unique<QSettings>(copy ? copy->path() : QString(), QSettings::IniFormat);
        settings->setIniCodec("UTF-8");
    }
    if (error)
        *error = copyError;
    return settings;
}

// A batch within another uses the outer one's folder.
SettingsFile::Batch::Batch()
{
    if (!t_batchFolder) {
        m_folder = std::make_unique<SafeFolder>();
        t_batchFolder = m_folder.get();
    }
}

SettingsFile::Batch::~Batch()
{
    if (m_folder)
        t_batchFolder = nullptr;
}

QString SettingsFile::loadProblem(const QString& copyError) const
{
    if (!isReadable())
        return problem();
    if (!copyError.isEmpty())
        return QStringLiteral("cannot be read: %1").arg(copyError);
    return ConfigLinter::formatProblem(path(), content());
}
