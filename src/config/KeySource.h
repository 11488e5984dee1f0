#pragma once

#include <QString>
#include <QStringList>
#include <QVariant>

// The keys of one settings file as the readers ask for them: a value by its
// path ("group/name", relative to the group entered), every key below the
// group entered, and groups entered and left as a QSettings does. The readers
// take either our own parse of a file's bytes or a QSettings, through this.
class KeySource
{
public:
    virtual ~KeySource() = default;

    // The value at `key` (a path without empty parts), or `defaultValue`.
    virtual QVariant value(const QString& key, const QVariant& defaultValue) const = 0;
    // Every key below the group entered, relative to it, sorted.
    virtual QStringList allKeys() const = 0;
    // The groups directly in the group entered, sorted.
    virtual QStringList childGroups() const = 0;
    virtual void beginGroup(const QString& group) = 0;
    virtual void endGroup() = 0;

protected:
    KeySource() = default;
    KeySource(const KeySource&) = default;
    KeySource& operator=(const KeySource&) = default;
};
