#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QTemporaryDir>

#include <memory>

// Points the backend at other data folders without changing its folder rules:
// it sets the XDG variables that the backend reads, before the backend reads
// anything. restore() puts the launcher's own values back once loading is
// done, so that the programs of a pipeline get the environment the launcher
// was started with.
class DataFolders
{
public:
    DataFolders() = default;
    ~DataFolders();
    DataFolders(const DataFolders&) = delete;
    DataFolders& operator=(const DataFolders&) = delete;

    // dataHome stands in for $XDG_DATA_HOME, systemDir for $XDG_CONFIG_DIRS;
    // an empty text keeps the variable. A data home without a system folder
    // also hides the machine-wide folder, so that only dataHome is read.
    // False with a message when a folder does not exist.
    bool redirect(const QString& dataHome, const QString& systemDir, QString& error);
    void restore();

private:
    struct SavedVariable
    {
        QByteArray name;
        bool wasSet = false;
        QByteArray value;
    };

    bool setFolder(const char* variable, const QString& folder, const char* option, QString& error);
    void set(const char* variable, const QString& value);

    QList<SavedVariable> m_saved;
    std::unique_ptr<QTemporaryDir> m_emptyFolder;
};
