#pragma once

#include <QObject>
#include <QString>

#include <memory>

class DataFolders;
class LauncherScreen;
class QQuickItem;

// The kiosk screen with its real QML, on temporary data folders made from
// the bundled examples; every child carries the run's marker.
class TestLauncherScreen : public QObject
{
    Q_OBJECT

public:
    TestLauncherScreen();
    ~TestLauncherScreen() override;

private slots:
    void init();
    void cleanup();
    void cleanupTestCase();

    void tiles_data();
    void tiles();
    void icons_data();
    void icons();
    void countdown_data();
    void countdown();
    void startAndStop_data();
    void startAndStop();
    void restarts();
    void endings_data();
    void endings();
    void quitSignals_data();
    void quitSignals();
    void placement_data();
    void placement();
    void screenshots();

private:
    // launcher.ini with these lines below [ui] and [autostart].
    void writeSettings(const QString& ui, const QString& autostart = QString());
    // apps/BASENAME.ini of one /bin/sh process running `script`, with more
    // lines for the process and an icon.
    void writeShellApp(const QString& basename, const QString& name, const QString& script,
                       const QString& processKeys = QString(), const QString& icon = QString());
    // A screen on the data folders, loaded and shown; null (and a failed test) when it does not
    // load.
    LauncherScreen* openScreen();
    QQuickItem* item(const QString& objectName) const;
    QString text(const QString& objectName) const;
    bool isShown(const QString& objectName) const;
    void click(const QString& objectName);
    void stopAndWait();

    const QString m_marker;
    std::unique_ptr<DataFolders> m_folders;
    std::unique_ptr<LauncherScreen> m_screen;
};
