#include "config/SettingsKeySource.h"

#include <QSettings>

QVariant SettingsKeySource::value(const QString& key, const QVariant& defaultValue) const
{
    return m_settings.value(key, defaultValue);
}

QStringList SettingsKeySource::allKeys() const
{
    return m_settings.allKeys();
}

QStringList SettingsKeySource::childGroups() const
{
    return m_settings.childGroups();
}

void SettingsKeySource::beginGroup(const QString& group)
{
    m_settings.beginGroup(group);
}

void SettingsKeySource::endGroup()
{
    m_settings.endGroup();
}
