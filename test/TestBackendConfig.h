#pragma once

#include <QObject>

// Reads a pipeline file, written by Qt's own settings writer, back through a
// real Backend; and the names processes are shown by.
class TestBackendConfig : public QObject
{
    Q_OBJECT

public:
    explicit TestBackendConfig(QObject* parent = nullptr);

private slots:
    void pipelineConfigLoad();
    void shownNames_data();
    void shownNames();
};
