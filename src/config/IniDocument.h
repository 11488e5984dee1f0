#pragma once

#include "config/KeySource.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <vector>

// A settings file parsed from its bytes, giving the groups, keys and values
// that QSettings (IniFormat, UTF-8) gives for the same file: names with their
// %XX and %UXXXX escapes and '\' for '/', values with their quotes, escapes
// and comma lists, ';' comments, [General] and keys outside any group,
// the last of duplicate keys, a UTF-8 byte-order mark, LF, CR and CRLF.
//
// What it does not reproduce exactly it refuses rather than guesses: a value
// that QSettings would turn into another type (a leading '@'), a line that
// goes on over the next one, octal and hexadecimal escapes, text that is not
// plain UTF-8, a group without ']', a key on the line of a byte-order mark,
// and names that are empty or have empty parts, or that QSettings finds or
// misses depending on the order of look-ups (a group name with '/', a path
// outside any group). isSupported() is then false, the document holds no
// keys, and the file is for QSettings to read.
class IniDocument : public KeySource
{
public:
    explicit IniDocument(const QByteArray& content);

    bool isSupported() const { return m_unsupported.isEmpty(); }
    // What the content holds that this reader leaves to QSettings; empty when supported.
    const QString& unsupported() const { return m_unsupported; }

    QVariant value(const QString& key, const QVariant& defaultValue = QVariant()) const override;
    QStringList allKeys() const override;
    void beginGroup(const QString& group) override;
    void endGroup() override;
    QStringList childGroups() const override;
    // The keys directly in the group entered, sorted.
    QStringList childKeys() const;

private:
    struct Entry
    {
        QString key; // the whole path
        QVariant value;
    };

    void parse(const QByteArray& content);
    void addEntry(const QString& section, const char* data, int keyStart, int keyEnd,
                  int valueStart, int valueEnd);
    bool unescapeName(const char* data, int from, int to, QString& name);
    bool unescapeValue(const char* data, int from, int to, QVariant& value);
    void refuse(const QString& why);
    // The first entry whose path is not below m_prefix (sorted paths).
    std::vector<Entry>::const_iterator groupBegin() const;

    std::vector<Entry> m_entries; // sorted by path, each path once
    QString m_unsupported;
    QString m_prefix;               // the group entered, with its '/'; empty at the top
    std::vector<int> m_prefixSizes; // of m_prefix before each group entered
};
