#include "DataFolders.h"

#include <QFileInfo>
#include <QtGlobal>

DataFolders::~DataFolders()
{
    restore();
}

bool DataFolders::redirect(const QString& dataHome, const QString& systemDir, QString& error)
{
    if (!dataHome.isEmpty() && !setFolder("XDG_DATA_HOME", dataHome, "--data-home", error))
        return false;
    if (!systemDir.isEmpty())
        return setFolder("XDG_CONFIG_DIRS", systemDir, "--system-dir", error);
    if (dataHome.isEmpty())
        return true;
    // A machine-wide folder that is certain to be empty.
    m_emptyFolder = std::make_unique<QTemporaryDir>();
    if (!m_emptyFolder->isValid()) {
        error = QStringLiteral("cannot create a temporary folder: %1")
                    .arg(m_emptyFolder->errorString());
        return false;
    }
    set("XDG_CONFIG_DIRS", m_emptyFolder->path());
    return true;
}

void DataFolders::restore()
{
    for (const SavedVariable& variable : m_saved) {
        if (variable.wasSet)
            qputenv(variable.name.constData(), variable.value);
        else
            qunsetenv(variable.name.constData());
    }
    m_saved.clear();
    m_emptyFolder.reset();
}

bool DataFolders::setFolder(const char* variable, const QString& folder, const char* option,
                            QString& error)
{
    const QFileInfo info(folder);
    if (!info.isDir()) {
        error = QStringLiteral("%1: '%2' is not a folder").arg(QLatin1String(option), folder);
        return false;
    }
    // Absolute, so that the folders and log paths shown are complete.
    set(variable, info.absoluteFilePath());
    return true;
}

void DataFolders::set(const char* variable, const QString& value)
{
    m_saved.append({variable, qEnvironmentVariableIsSet(variable), qgetenv(variable)});
    qputenv(variable, value.toLocal8Bit());
}
