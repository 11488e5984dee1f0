#pragma once

#include <QObject>
#include <QTemporaryFile>

#include <memory>

class Backend;

// Reads launcher settings and a pipeline file, written by Qt's own settings
// writer, back through a real Backend.
class TestBackendConfig : public QObject
{
    Q_OBJECT

public:
    explicit TestBackendConfig(QObject* parent = nullptr);
    ~TestBackendConfig() override;

private slots:
    void init();
    void cleanup();
    void testLauncherConfigLoad();
    void testPipelineConfigLoad();
    void shownNames_data();
    void shownNames();

private:
    std::unique_ptr<Backend> m_backend;
    std::unique_ptr<QTemporaryFile> m_tempFile;
};
