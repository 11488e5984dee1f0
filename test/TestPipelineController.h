#pragma once

#include <QObject>

// Runs real pipelines of test-helper children and checks the controller's
// events, their order and reasons.
class TestPipelineController : public QObject
{
    Q_OBJECT

public:
    explicit TestPipelineController(QObject* parent = nullptr);

private slots:
    void events_data();
    void events();
};
