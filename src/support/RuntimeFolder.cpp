#include "support/RuntimeFolder.h"

#include "support/Descriptor.h"
#include "support/LauncherSupport.h"

#include "support/PlatformUtils.h"
#include "support/SafeFolder.h"
#include "support/Trace.h"

#include <QDir>
#include <QFile>
#include <QSet>
#include <QStringList>

#include <cerrno>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

using LauncherSupport::errorText;
using LauncherSupport::modeText;
using Solvane::Trace;

namespace {

const mode_t PrivateMode = 0700;
// Where the system unit of a user makes the launcher's folder (RuntimeDirectory=),
// and where the user's service manager has its runtime folder.
const char* const ServiceFolders = "/run/Orvalen/launcher/";
const char* const UserManagerFolders = "/run/user/";

// What a folder's mode may grant beyond its owner.
enum class Policy
{
    Private,     // $XDG_RUNTIME_DIR: nothing to group or others
    NotWritable, // the data folder: the user's own choice of bits, but no one else writes
    Launchers,   // a folder of the launcher's: 0700, set so where it is not
};

struct Candidate
{
    QString base;
    Policy basePolicy;
    bool baseMadeHere;  // made when missing, rather than refused
    bool baseMayBeLink; // the user's own choice of place
    QStringList below;  // made 0700 when missing
};

// Why NAME in the folder open as PARENT could not be opened as a folder.
QString openRefusal(int parent, const QByteArray& name, int error)
{
    if (error == ENOENT)
        return QStringLiteral("does not exist");
    if (error == ENOTDIR || error == ELOOP) {
        struct stat info = {};
        const bool link = ::fstatat(parent, name.constData(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
                          S_ISLNK(info.st_mode);
        return link ? QStringLiteral("is a link") : QStringLiteral("is not a folder");
    }
    return QStringLiteral("cannot be opened: %1").arg(errorText(error));
}

// Why the open folder may not hold the launcher's files; empty when it may.
QString useRefusal(int fd, Policy policy)
{
    struct stat info = {};
    if (::fstat(fd, &info) != 0)
        return QStringLiteral("cannot be examined: %1").arg(errorText(errno));
    if (info.st_uid != ::geteuid())
        return QStringLiteral("is owned by user %1").arg(info.st_uid);
    const mode_t mode = info.st_mode & 07777;
    switch (policy) {
    case Policy::Private:
        if (mode & 077)
            return QStringLiteral("is open to other users (mode %1)").arg(modeText(mode));
        break;
    case Policy::NotWritable:
        if (mode & 022)
            return QStringLiteral("may be written by other users (mode %1)").arg(modeText(mode));
        break;
    case Policy::Launchers:
        if (mode != PrivateMode && ::fchmod(fd, PrivateMode) != 0)
            return QStringLiteral("cannot be made private: %1").arg(errorText(errno));
        break;
    }
    return QString();
}

// The folder that the candidate names, checked from its base down through
// descriptors, so that what was checked is what the next step looks into.
// Empty, with the folder refused and why in problem, when it cannot be used.
QString walk(const Candidate& candidate, RuntimeFolder::Use use, QString& problem)
{
    if (!QDir::isAbsolutePath(candidate.base)) {
        problem = QStringLiteral("'%1' is not an absolute path").arg(candidate.base);
        return QString();
    }
    if (use == RuntimeFolder::Make && candidate.baseMadeHere)
        SafeFolder::open(candidate.base, SafeFolder::MakeMissing); // as for the logs; checked below

    const QString full = (QStringList{candidate.base} + candidate.below).join(QLatin1Char('/'));
    QString folder = candidate.base;
    QByteArray name = QFile::encodeName(folder);
    Descriptor parent(AT_FDCWD); // negative: never closed
    Policy policy = candidate.basePolicy;
    for (int i = 0; i <= candidate.below.size(); ++i) {
        if (i > 0) {
            // Made through the folder above, just checked; the open below
            // checks what is there, made now or not.
            if (use == RuntimeFolder::Make &&
                !SafeFolder::open(folder).makeFolder(candidate.below[i - 1], PrivateMode, problem))
                return QString();
            name = QFile::encodeName(candidate.below[i - 1]);
            folder += QLatin1Char('/') + candidate.below[i - 1];
            policy = Policy::Launchers;
        }
        const int noFollow = i == 0 && candidate.baseMayBeLink ? 0 : O_NOFOLLOW;
        const int fd =
            ::openat(parent.get(), name.constData(), O_RDONLY | O_DIRECTORY | noFollow | O_CLOEXEC);
        if (fd < 0) {
            const int error = errno;
            // Not made yet: nothing is there to look at.
            if (use == RuntimeFolder::Look && error == ENOENT && (i > 0 || candidate.baseMadeHere))
                return full;
            problem = QStringLiteral("'%1' %2").arg(folder, openRefusal(parent.get(), name, error));
            return QString();
        }
        parent.reset(fd);
        const QString refusal = useRefusal(fd, policy);
        if (!refusal.isEmpty()) {
            problem = QStringLiteral("'%1' %2").arg(folder, refusal);
            return QString();
        }
    }
    return full;
}

// Once for each text: every user of the folder looks it up.
void warnOnce(const QString& text)
{
    static QSet<QString> warned;
    if (warned.contains(text))
        return;
    warned.insert(text);
    Trace::warning("%s", qUtf8Printable(text));
}

// The folder that a system unit made for the launcher: its own, 0700.
Candidate serviceFolder(const QString& path)
{
    return {path, Policy::Launchers, false, false, {}};
}

Candidate runtimeFolder(const QString& base)
{
    return {base,
            Policy::Private,
            false,
            false,
            {QStringLiteral("Orvalen"), QStringLiteral("launcher")}};
}

Candidate dataFolder(const QString& base)
{
    return {base, Policy::NotWritable, true, true, {QStringLiteral("run")}};
}

QString userName()
{
    passwd entry = {};
    passwd* found = nullptr;
    char buffer[4096];
    if (::getpwuid_r(::geteuid(), &entry, buffer, sizeof buffer, &found) != 0 || !found)
        return QString();
    return QFile::decodeName(found->pw_name);
}

} // namespace

RuntimeFolder::RuntimeFolder()
    : m_runtime(qEnvironmentVariable("XDG_RUNTIME_DIR")),
      m_userManager(QLatin1String(UserManagerFolders) + QString::number(::geteuid())),
      m_data(Solvane::PlatformUtils::getModuleUserDataPath("Orvalen/launcher", false))
{
    const QString name = userName();
    // A name that is no single path component names no folder of a unit.
    if (!name.isEmpty() && !name.contains(QLatin1Char('/')) && name != QLatin1String(".") &&
        name != QLatin1String(".."))
        m_service = QLatin1String(ServiceFolders) + name;
}

RuntimeFolder::Found RuntimeFolder::find(Use use) const
{
    // The service's folder exists only while the unit that made it runs: a
    // launcher of the same user elsewhere would not be found by the service's
    // clients, so it goes first. The launcher never makes it.
    struct stat info = {};
    if (!m_service.isEmpty() && ::lstat(QFile::encodeName(m_service).constData(), &info) == 0) {
        QString problem;
        const QString path = walk(serviceFolder(m_service), use, problem);
        if (!path.isEmpty())
            return {path, QString()};
        warnOnce(QStringLiteral("Not using the service folder: %1").arg(problem));
    }
    QString runtimeProblem;
    if (!m_runtime.isEmpty()) {
        const QString path = walk(runtimeFolder(m_runtime), use, runtimeProblem);
        if (!path.isEmpty())
            return {path, QString()};
    }
    // Without a runtime folder (a service of the system has none), the data
    // folder serves without a word.
    QString dataProblem;
    const QString path = walk(dataFolder(m_data), use, dataProblem);
    const QString refused = m_runtime + QStringLiteral("/Orvalen/launcher");
    if (!path.isEmpty()) {
        if (!runtimeProblem.isEmpty())
            warnOnce(QStringLiteral("Not using the runtime folder '%1': %2; the launcher's "
                                    "runtime files go to '%3'")
                         .arg(refused, runtimeProblem, path));
        return {path, QString()};
    }
    const QString problem = runtimeProblem.isEmpty()
                                ? dataProblem
                                : runtimeProblem + QStringLiteral("; ") + dataProblem;
    warnOnce(QStringLiteral("No folder for the launcher's runtime files, so no process record "
                            "and no control socket: %1")
                 .arg(problem));
    return {QString(), problem};
}

QStringList RuntimeFolder::places() const
{
    QStringList found;
    const auto add = [&found](const Candidate& candidate) {
        QString problem;
        const QString path = walk(candidate, Look, problem);
        if (!path.isEmpty() && !found.contains(path))
            found.append(path);
    };
    if (!m_service.isEmpty())
        add(serviceFolder(m_service));
    if (!m_runtime.isEmpty())
        add(runtimeFolder(m_runtime));
    add(runtimeFolder(m_userManager));
    add(dataFolder(m_data));
    return found;
}
