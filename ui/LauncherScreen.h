#pragma once

#include "ControlSession.h"

#include <QHash>
#include <QObject>
#include <QRect>
#include <QString>
#include <QUrl>
#include <QVariantMap>

#include <memory>

class Backend;
class ControlServer;
class QQmlEngine;
class QQuickView;
class QScreen;
class QTranslator;

// The kiosk screen: the backend, the QML engine and the window that shows the
// tiles, the countdown, the running application and its failures. main()
// makes one, and so does a test, on whatever data folders the environment names.
// It answers the control socket as the console does: started, stopped or
// asked about from a shell, the screen follows as it does its own controls.
class LauncherScreen : public QObject, public ControlSession
{
    Q_OBJECT
    // The owner's brand from launcher.ini, for the theme: title, accentColor,
    // backgroundColor, backgroundImage and logo (URLs), textScale. A field that
    // is empty keeps the screen's own look.
    Q_PROPERTY(QVariantMap brand READ brand NOTIFY brandChanged)

public:
    explicit LauncherScreen(QObject* parent = nullptr);
    ~LauncherScreen() override;

    // Opens the control socket, before load() touches anything; false when
    // another launcher of this user runs, whichever front end: refusal()
    // then names it.
    bool listen();
    QString refusal() const;
    // Starts the backend (settings, applications, the autostart countdown),
    // then loads the screen's QML, in the language of ui/language or of the
    // locale. False when the QML does not load; its errors are warned about.
    bool load();
    // Places the window on its screen as ui/location and ui/width say (on
    // Wayland, where the compositor places it, only its size counts), and
    // shows it.
    void show();

    // Where the window goes on `screen` (the window's own screen when null).
    QRect placement(QScreen* screen = nullptr) const;

    Backend* backend() const { return m_backend.get(); }
    QQuickView* view() const { return m_view.get(); }

    // The image of an application's icon: an absolute path, or a path relative
    // to the folder of its pipeline file. Empty when there is no such file, for
    // the screen to draw its own placeholder.
    Q_INVOKABLE QUrl iconSource(const QString& basename, const QString& icon) const;

    QVariantMap brand() const { return m_brand; }

    // Requests of the control socket.
    bool start(const PipelineConfig& pipeline, QStringList& reasons) override;
    bool stop(int timeoutMs) override;
    int stopTimeoutMs() const override;
    bool cancelCountdown() override;

signals:
    void brandChanged();

private:
    void onApplicationsChanged();
    void onSettingsChanged();

    std::unique_ptr<Backend> m_backend;
    // The screen's words in its language; null where they stay English.
    std::unique_ptr<QTranslator> m_translator;
    std::unique_ptr<QQmlEngine> m_engine;
    std::unique_ptr<QQuickView> m_view;
    // The folder of each application's pipeline file, by base name.
    QHash<QString, QString> m_applicationFolders;
    QVariantMap m_brand;
    // Last, so destroyed first of all members, yet after the destructor's
    // stop: clients waiting for a stop get its reply.
    std::unique_ptr<ControlServer> m_control;
};
