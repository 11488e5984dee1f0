#pragma once

#include <QObject>

#include <memory>

class QSocketNotifier;

// SIGINT, SIGTERM and SIGHUP, delivered on the event loop instead of ending
// the program where it stands: the screen then stops its application in
// order before it goes. One object at a time; the default actions come back
// when it is destroyed.
class QuitSignals : public QObject
{
    Q_OBJECT

public:
    explicit QuitSignals(QObject* parent = nullptr);
    ~QuitSignals() override;

signals:
    void received(int signal);

private:
    void onReadable();

    std::unique_ptr<QSocketNotifier> m_notifier;
};
