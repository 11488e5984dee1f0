#pragma once

#include "config/KeySource.h"

class QSettings;

// The keys of a QSettings, for a caller that hands the readers one. The
// QSettings must outlive this object; groups entered here are entered there.
class SettingsKeySource : public KeySource
{
public:
    explicit SettingsKeySource(QSettings& settings) : m_settings(settings) {}

    QVariant value(const QString& key, const QVariant& defaultValue) const override;
    QStringList allKeys() const override;
    QStringList childGroups() const override;
    void beginGroup(const QString& group) override;
    void endGroup() override;

private:
    QSettings& m_settings;
};
