#pragma once

#include "ConfigFile.h"
#include "ConfigProblem.h"

#include <QByteArray>
#include <QList>
#include <QString>

class QSettings;

namespace ConfigKeys {
struct Key;
}

// Finds what in a pipeline file or launcher.ini will not be read as it seems
// to mean: groups and keys that no reader knows (with the nearest known
// name), values that convert to something else, escapes and control
// characters that the settings reader turns into something else, and files
// that cannot be read or are no settings file, and keys that together do not
// do what they seem to (a PATH that library-paths replaces, a restart limit
// that restarts nothing or loops). It reads the file once, and opens it
// through the same settings reader as the launcher.
class ConfigLinter
{
public:
    ConfigLinter(const QString& path, ConfigKeys::File kind);

    QList<ConfigProblem> lint();

    // The whole content of a regular file, up to MaxFileSize; false with the
    // reason when it cannot be read. Never blocks on a FIFO or a device.
    static bool readFile(const QString& path, QByteArray* content, QString* error);
    // Why the file as a whole does not read as written: it cannot be read,
    // holds binary content or a serialized value (then `unreadable` is set:
    // nothing in it is to be read), or the settings reader finds it malformed
    // (a group without its ']'). Empty when it reads.
    static QString fileProblem(const QString& path, bool* unreadable = nullptr);
    // The last of fileProblem(), from the bytes of a file that reads.
    static QString formatProblem(const QString& path, const QByteArray& content);

    // The kind of file its name says: launcher.ini is a settings file.
    static ConfigKeys::File kindOf(const QString& path);

    // Whether `text` is one of the readiness checks a process can wait for.
    static bool isReadyCheck(const QString& text);

    // The candidate nearest to `text` by edit distance (letter case aside),
    // when it is near enough to be a likely typo; otherwise empty.
    static QString nearest(const QString& text, const QStringList& candidates);

    static constexpr qint64 MaxFileSize = 4 * 1024 * 1024;
    // Restarts that a process may take without a restart-delay before a
    // limit looks like a crash loop: ten quick starts cost a small machine a
    // fraction of a second, and a limit that the restart period cannot hold
    // (some 60 starts a second) never gives up at all.
    static constexpr int MaxQuickRestarts = 10;

private:
    void add(ConfigProblem::Severity severity, const QString& group, const QString& key,
             const QString& message);
    bool lintContent(const QByteArray& content);
    void lintGroup(QSettings& settings, const QString& group, const QString& tableGroup);
    void lintProcess(QSettings& settings, const QString& group);
    void lintValue(QSettings& settings, const QString& group, const ConfigKeys::Key& key);
    void lintUnknownGroup(const QString& group, const QStringList& knownGroups);

    QString m_path;
    ConfigKeys::File m_kind;
    QList<ConfigProblem> m_problems;
    QString m_formatProblem; // what makes the settings reader find the file malformed
};
