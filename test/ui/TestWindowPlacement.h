#pragma once

#include <QObject>

class TestWindowPlacement : public QObject
{
    Q_OBJECT

private slots:
    void geometry_data();
    void geometry();
};
