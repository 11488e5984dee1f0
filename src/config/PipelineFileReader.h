#pragma once

#include "PipelineConfig.h"

#include <QString>

class QSettings;
class SettingsFile;

// Reads one pipeline file into its record. A file is never rejected: what is
// missing or unusable takes its default, and whether the pipeline can run is
// decided when it starts.
class PipelineFileReader
{
public:
    // `defaultLogPath`: the folder of the logs of a file that names none.
    explicit PipelineFileReader(const QString& defaultLogPath);

    // The file as read once; a refused one reads as empty but keeps the
    // application's name. `error` gets why its keys could not be read at all
    // (SettingsFile::settings()), empty when they were.
    PipelineConfig read(const SettingsFile& file, QString* error = nullptr) const;
    // The application is named after the reader's file.
    PipelineConfig read(QSettings& settings) const;
    // `basename` names the application, `path` the file in warnings.
    PipelineConfig read(QSettings& settings, const QString& basename, const QString& path) const;

private:
    QString m_defaultLogPath;
};
