#include "config/SettingsFile.h"

#include "ConfigLinter.h"
#include "config/ConfigKeys.h"
#include "config/IniDocument.h"
#include "config/SettingsKeySource.h"

#include <QFile>
#include <QScopeGuard>
#include <QSettings>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString tooLarge()
{
    return QStringLiteral("larger than %1 MiB, so no settings file")
        .arg(ConfigLinter::MaxFileSize >> 20);
}

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
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

SettingsFile::~SettingsFile() = default;

void SettingsFile::read()
{
    // Non-blocking: a FIFO must not hold up loading before fstat tells what it is.
    const int fd = ::open(QFile::encodeName(m_path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        m_exists = errno != ENOENT && errno != ENOTDIR;
        m_readError = systemError();
        return;
    }
    const auto closeFile = qScopeGuard([fd] { ::close(fd); });
    struct stat status = {};
    if (::fstat(fd, &status) != 0) {
        m_readError = systemError();
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
    if (status.st_size > ConfigLinter::MaxFileSize) {
        m_readError = tooLarge();
        return;
    }
    // One read takes a file that has not grown since fstat; the byte beyond
    // tells that it has, and a file that has grown past the limit is refused.
    m_content.resize(int(status.st_size) + 1);
    qint64 size = 0;
    for (;;) {
        if (size == m_content.size()) {
            if (size > ConfigLinter::MaxFileSize) {
                m_content.clear();
                m_readError = tooLarge();
                return;
            }
            m_content.resize(int(std::min<qint64>(size * 2 + 4096, ConfigLinter::MaxFileSize + 1)));
        }
        const ssize_t count = ::read(fd, m_content.data() + size, size_t(m_content.size() - size));
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0) {
            m_content.clear();
            m_readError = systemError();
            return;
        }
        if (count == 0)
            break;
        size += count;
    }
    m_content.truncate(int(size));
}

QSettings& SettingsFile::settings()
{
    if (!m_settings) {
        // The reader gets the path only once its bytes have shown that the
        // file reads. It is the path, not the descriptor: the reader keeps
        // what it read by path, and would hand one file's keys to another
        // under a reused name.
        m_settings =
            std::make_unique<QSettings>(isReadable() ? m_path : QString(), QSettings::IniFormat);
        m_settings->setIniCodec("UTF-8");
    }
    return *m_settings;
}

KeySource& SettingsFile::keys()
{
    if (m_settingsKeys)
        return *m_settingsKeys;
    if (!m_document)
        m_document = std::make_unique<IniDocument>(isReadable() ? m_content : QByteArray());
    if (m_document->isSupported())
        return *m_document;
    m_settingsKeys = std::make_unique<SettingsKeySource>(settings());
    return *m_settingsKeys;
}
