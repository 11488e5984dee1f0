#include "LauncherScreen.h"

#include "Backend.h"
#include "ControlServer.h"
#include "ScreenLanguage.h"
#include "TileFilter.h"
#include "WindowPlacement.h"

#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QQmlContext>
#include <QQmlEngine>
#include <QQmlError>
#include <QQuickView>
#include <QScreen>
#include <QTranslator>

LauncherScreen::LauncherScreen(QObject* parent)
    : QObject(parent), m_backend(std::make_unique<Backend>()),
      m_engine(std::make_unique<QQmlEngine>()),
      m_view(std::make_unique<QQuickView>(m_engine.get(), nullptr))
{
    qmlRegisterType<TileFilter>("Launcher", 1, 0, "TileFilter");
    connect(m_backend.get(), &Backend::applicationsChanged, this,
            &LauncherScreen::onApplicationsChanged);
    connect(m_backend.get(), &Backend::settingsChanged, this, &LauncherScreen::onSettingsChanged);
    m_engine->rootContext()->setContextProperty(QStringLiteral("backend"), m_backend.get());
    m_engine->rootContext()->setContextProperty(QStringLiteral("launcher"), this);
    m_view->setResizeMode(QQuickView::SizeRootObjectToView);
    // A kiosk's screen: no title bar, and the placement is the window's own.
    m_view->setFlags(m_view->flags() | Qt::FramelessWindowHint);
    m_view->setTitle(QStringLiteral("Launcher"));
    onSettingsChanged();
}

// The view goes before the engine, the engine before the backend that its
// bindings read. Then the application gets the orderly stop of the Stop
// control (its processes asked to terminate, killed after the stop timeout),
// with no screen left to follow it.
LauncherScreen::~LauncherScreen()
{
    m_view.reset();
    m_engine.reset();
    PipelineController* controller = m_backend->pipelineController();
    controller->stop(controller->stopTimeout());
}

bool LauncherScreen::listen()
{
    m_control = std::make_unique<ControlServer>(*m_backend, *this);
    return m_control->listen();
}

QString LauncherScreen::refusal() const
{
    return m_control ? m_control->refusal() : QString();
}

// The backend first, so that the screen shows the applications and the
// countdown from its first frame on.
bool LauncherScreen::load()
{
    m_backend->initialize();
    onApplicationsChanged();
    // Before the QML, whose texts are translated as it is made.
    m_translator = screenTranslator(m_backend->settings().uiLanguage);
    m_view->setSource(QUrl(QStringLiteral("qrc:/qml/Main.qml")));
    if (m_view->status() != QQuickView::Ready) {
        for (const QQmlError& error : m_view->errors())
            qWarning("%s", qUtf8Printable(error.toString()));
        return false;
    }
    return true;
}

void LauncherScreen::show()
{
    m_view->setGeometry(placement());
    m_view->show();
    // A compositor that places windows gives them its keyboard itself, and
    // refuses to be asked.
    if (WindowPlacement::platformPlacer() == WindowPlacement::Placer::Window)
        m_view->requestActivate();
}

QRect LauncherScreen::placement(QScreen* screen) const
{
    if (!screen)
        screen = m_view->screen() ? m_view->screen() : QGuiApplication::primaryScreen();
    const QRect available = screen ? screen->availableGeometry() : QRect(0, 0, 1280, 720);
    const LauncherSettings& settings = m_backend->settings();
    return WindowPlacement(settings.uiLocation, settings.uiWidthSet ? settings.uiWidth : QString(),
                           WindowPlacement::platformPlacer())
        .geometry(available);
}

QUrl LauncherScreen::iconSource(const QString& basename, const QString& icon) const
{
    if (icon.isEmpty())
        return QUrl();
    QFileInfo file(icon);
    if (file.isRelative()) {
        const QString folder = m_applicationFolders.value(basename);
        if (folder.isEmpty())
            return QUrl();
        file.setFile(QDir(folder), icon);
    }
    return file.isFile() ? QUrl::fromLocalFile(file.absoluteFilePath()) : QUrl();
}

// The settings reader has checked each value, and warned about what the
// screen cannot show: what is left is shown as it is.
void LauncherScreen::onSettingsChanged()
{
    const LauncherSettings& settings = m_backend->settings();
    const auto url = [](const QString& path) {
        return path.isEmpty() ? QUrl() : QUrl::fromLocalFile(path);
    };
    const QVariantMap brand{
        {QStringLiteral("title"), settings.uiTitle},
        {QStringLiteral("accentColor"), settings.uiAccentColor},
        {QStringLiteral("backgroundColor"), settings.uiBackgroundColor},
        {QStringLiteral("backgroundImage"), url(settings.uiBackgroundImage)},
        {QStringLiteral("logo"), url(settings.uiLogo)},
        {QStringLiteral("textScale"), settings.uiTextScale},
    };
    if (brand == m_brand)
        return;
    m_brand = brand;
    // The theme's background, before the first frame.
    m_view->setColor(QColor(settings.uiBackgroundColor.isEmpty() ? QStringLiteral("#0f1419")
                                                                 : settings.uiBackgroundColor));
    emit brandChanged();
}

void LauncherScreen::onApplicationsChanged()
{
    m_applicationFolders.clear();
    for (const QFileInfo& file : m_backend->applicationFiles())
        m_applicationFolders.insert(file.completeBaseName(), file.absolutePath());
}

bool LauncherScreen::start(const PipelineConfig& pipeline, QStringList& reasons)
{
    PipelineController& controller = *m_backend->pipelineController();
    if (controller.state() == PipelineController::Running) {
        reasons.append(QStringLiteral("'%1' is running").arg(controller.pipelineConfig().basename));
        return false;
    }
    // Checked first, so that a refused start leaves a countdown running.
    if (!controller.isPipelineValid(pipeline)) {
        reasons = controller.validationErrors();
        return false;
    }
    if (!m_backend->startApplication(pipeline.basename)) {
        reasons.append(QStringLiteral("it did not start"));
        return false;
    }
    return true;
}

bool LauncherScreen::stop(int timeoutMs)
{
    PipelineController& controller = *m_backend->pipelineController();
    if (controller.state() != PipelineController::Running)
        return false;
    // The controller answers a second stop itself.
    controller.requestStop(timeoutMs);
    return true;
}

int LauncherScreen::stopTimeoutMs() const
{
    return m_backend->pipelineController()->stopTimeout();
}

bool LauncherScreen::cancelCountdown()
{
    AutostartCountdown& countdown = *m_backend->autostartCountdown();
    if (!countdown.isActive())
        return false;
    countdown.stop();
    return true;
}
