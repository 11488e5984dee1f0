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
// that restarts nothing or loops). It reads the file once, and reads those
// bytes through the same settings reader as the launcher.
class ConfigLinter
{
public:
    ConfigLinter(const QString& path, ConfigKeys::File kind);

    QList<ConfigProblem> lint();
    // The same on the bytes that the backend read when it loaded the file
    // (the file is not read again), or on why it could not read them all.
    QList<ConfigProblem> lint(const QByteArray& content, const QString& readError = QString());

    // Why the settings reader finds the bytes of a file malformed (a group
    // without its ']'), naming the line. Empty when it does not.
    static QString formatProblem(const QString& path, const QByteArray& content);

    // The kind of file its name says: launcher.ini is a settings file.
    static ConfigKeys::File kindOf(const QString& path);

    // Whether `text` is one of the readiness checks a process can wait for.
    static bool isReadyCheck(const QString& text);

    // The candidate nearest to `text` by edit distance (letter case aside),
    // when it is near enough to be a likely typo; otherwise empty.
    static QString nearest(const QString& text, const QStringList& candidates);

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
    void lintRestarts(QSettings& settings, const QString& group);
    void lintValue(QSettings& settings, const QString& group, const ConfigKeys::Key& key);
    void lintUnknownGroup(const QString& group, const QStringList& knownGroups);

    QString m_path;
    ConfigKeys::File m_kind;
    QList<ConfigProblem> m_problems;
    QString m_formatProblem; // what makes the settings reader find the file malformed
};
