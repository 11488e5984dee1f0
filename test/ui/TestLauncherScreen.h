#pragma once

#include <QObject>
#include <QString>

#include <memory>

class DataFolders;
class LauncherScreen;
class ProcessMarker;
class QQuickItem;

// The kiosk screen with its real QML, on temporary data folders made from
// the bundled examples; every child carries the test's marker.
class TestLauncherScreen : public QObject
{
    Q_OBJECT

public:
    TestLauncherScreen();
    ~TestLauncherScreen() override;

private slots:
    void init();
    void cleanup();

    void tiles_data();
    void tiles();
    void countdown_data();
    void countdown();
    void runs_data();
    void runs();
    void quitSignals_data();
    void quitSignals();
    void screenshots();

private:
    // launcher.ini with these lines below [ui] and [autostart].
    void writeSettings(const QString& ui, const QString& autostart = QString());
    // apps/BASENAME.ini of one required /bin/sh process running `script`.
    void writeShellApp(const QString& basename, const QString& name, const QString& script);
    // A screen on the data folders, loaded and shown; false when it does not load.
    bool openScreen();
    QQuickItem* item(const QString& objectName, QQuickItem* within = nullptr) const;
    QString text(const QString& objectName) const;
    bool isShown(const QString& objectName) const;
    void click(const QString& objectName);

    std::unique_ptr<ProcessMarker> m_marker;
    std::unique_ptr<DataFolders> m_folders;
    std::unique_ptr<LauncherScreen> m_screen;
};
