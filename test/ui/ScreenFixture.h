#pragma once

#include "LauncherScreen.h"
#include "TestFixtures.h"

#include <QImage>
#include <QObject>
#include <QQuickItem>
#include <QSize>

#include <memory>

// Runs until it is asked to terminate.
inline const QString LongScript = "trap 'exit 0' TERM; echo ready; while :; do sleep 0.2; done";

// What the tests of the kiosk screen share: per test, fresh data folders with
// the bundled examples (a valid "demo" and an invalid "broken") and a
// launcher.ini without a countdown, a private runtime folder for the
// control socket, and a marker that every child carries and none outlives.
// The screen has its real QML; its items are found by their objectName.
class ScreenFixture : public QObject
{
    Q_OBJECT

protected:
    std::unique_ptr<ProcessMarker> m_marker;
    std::unique_ptr<DataFolders> m_folders;
    std::unique_ptr<LauncherScreen> m_screen;

    // launcher.ini with these lines below [ui] and [autostart].
    void writeSettings(const QString& ui, const QString& autostart = QString());
    // apps/BASENAME.ini of one required process running `script` with the
    // shell (or `exec`, with the script as its arguments) and the lines of
    // `more`; with `daemon`, after a daemon that runs until it is terminated.
    void writeShellApp(const QString& basename, const QString& name, const QString& script,
                       bool daemon = false, const QString& exec = "/bin/sh",
                       const QString& more = QString());
    // A screen on the data folders, loaded, shown (at `size`, if one is
    // given) and laid out; false when it does not load.
    bool openScreen(const QSize& size = QSize());

    // The first item of that name, depth first; `shown` skips hidden ones.
    QQuickItem* item(const QString& objectName, QQuickItem* within = nullptr) const;
    QQuickItem* shown(const QString& objectName) const;
    bool isShown(const QString& objectName) const { return shown(objectName); }
    QString text(const QString& objectName, QQuickItem* within = nullptr) const;
    void click(const QString& objectName);
    // The window's picture: its root item fills it. (The offscreen
    // platform's windows have no picture of their own to grab.)
    QImage grab() const;

protected slots:
    void init();
    void cleanup();
};
