#pragma once

#include "PipelineConfig.h"

#include <QFileInfo>
#include <QString>

class KeySource;
class QSettings;

// Reads one pipeline file into its record. A file is never rejected: what is
// missing or unusable takes its default, and whether the pipeline can run is
// decided when it starts.
class PipelineFileReader
{
public:
    // `defaultLogPath`: the folder of the logs of a file that names none.
    explicit PipelineFileReader(const QString& defaultLogPath);

    // A missing file gives an empty record; one that cannot be read, a record
    // with its name alone. `problem` gets why the file does not read as
    // written (ConfigLinter's reasons), empty when it does.
    PipelineConfig load(const QFileInfo& file, QString* problem = nullptr) const;
    // The application is named after the reader's file.
    PipelineConfig read(QSettings& settings) const;
    // `basename` names the application, `path` the file in warnings.
    PipelineConfig read(KeySource& keys, const QString& basename, const QString& path) const;

private:
    QString m_defaultLogPath;
};
