#include "RenderBackend.h"

#include "Backend.h"
#include "config/SettingsFile.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLFunctions>
#include <QProcess>
#include <QQuickWindow>
#include <QSGRendererInterface>
#include <QSettings>

#include <cstdio>
#include <memory>

namespace {

// Generous: a small board makes its first context slowly, beside a loaded
// start-up; beyond it the driver is taken for one that hangs.
const int ProbeTimeoutMs = 20000;

// GL_RENDERER of a context made current, or nothing: no OpenGL at all.
std::optional<QString> currentRenderer()
{
    QOpenGLContext context;
    if (!context.create())
        return std::nullopt;
    QOffscreenSurface surface;
    surface.setFormat(context.format());
    surface.create();
    if (!surface.isValid() || !context.makeCurrent(&surface))
        return std::nullopt;
    const auto* name = reinterpret_cast<const char*>(context.functions()->glGetString(GL_RENDERER));
    const QString renderer = QString::fromLatin1(name ? name : "");
    context.doneCurrent();
    return renderer;
}

// The renderer as this program finds it on the same display, in a child
// that takes its driver with it; nothing when the child finds none, fails
// or does not answer in time.
std::optional<QString> openGlRenderer()
{
    // eglfs shows every window through OpenGL, whatever draws its scene: the
    // driver is loaded all the same, and a second process could not share
    // the display.
    if (QGuiApplication::platformName() == QLatin1String("eglfs"))
        return currentRenderer();
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(),
                {QLatin1String(OpenGlRendererOption), QStringLiteral("-platform"),
                 QGuiApplication::platformName()});
    if (!child.waitForFinished(ProbeTimeoutMs)) {
        child.kill();
        child.waitForFinished(ProbeTimeoutMs);
        return std::nullopt;
    }
    if (child.exitStatus() != QProcess::NormalExit || child.exitCode() != 0)
        return std::nullopt;
    return QString::fromLatin1(child.readAllStandardOutput()).trimmed();
}

// Mesa's rasterisers on the processor, by the names their contexts give.
bool isSoftware(const QString& renderer)
{
    for (const char* name : {"llvmpipe", "softpipe", "swrast", "software rasterizer"})
        if (renderer.contains(QLatin1String(name), Qt::CaseInsensitive))
            return true;
    return false;
}

// ui/renderer as the file says; auto without a file, or for a value that
// does not read.
ConfigKeys::Renderer rendererSetting()
{
    const SettingsFile file(Backend::settingsFile().absoluteFilePath());
    if (!file.exists() || !file.isReadable())
        return ConfigKeys::Renderer::Auto;
    QString copyError;
    const std::unique_ptr<QSettings> settings = file.settings(&copyError);
    if (!settings)
        return ConfigKeys::Renderer::Auto;
    return ConfigKeys::renderer(
        ConfigKeys::value(*settings, ConfigKeys::File::Settings, "ui", "renderer").toString());
}

} // namespace

SceneGraphChoice sceneGraphChoice(const QString& environment, ConfigKeys::Renderer renderer,
                                  const std::function<std::optional<QString>()>& openGlRenderer)
{
    if (!environment.isEmpty())
        return {false, QStringLiteral("drawing as QT_QUICK_BACKEND=%1 says").arg(environment)};
    if (renderer == ConfigKeys::Renderer::Software)
        return {true, QStringLiteral("drawing in software, as ui/renderer says")};
    if (renderer == ConfigKeys::Renderer::OpenGL)
        return {false, QStringLiteral("drawing with OpenGL, as ui/renderer says")};
    const std::optional<QString> found = openGlRenderer();
    if (!found)
        return {true, QStringLiteral("drawing in software: there is no OpenGL here")};
    if (isSoftware(*found))
        return {true, QStringLiteral("drawing in software: OpenGL here is Mesa's %1").arg(*found)};
    return {false, QStringLiteral("drawing with OpenGL on %1").arg(*found)};
}

int printOpenGlRenderer(int argc, char* argv[])
{
    QGuiApplication app(argc, argv);
    const std::optional<QString> renderer = currentRenderer();
    if (!renderer)
        return 1;
    std::printf("%s\n", qPrintable(*renderer));
    return 0;
}

SceneGraphChoice chooseSceneGraphBackend()
{
    const SceneGraphChoice choice = sceneGraphChoice(qEnvironmentVariable("QT_QUICK_BACKEND"),
                                                     rendererSetting(), &openGlRenderer);
    if (choice.software)
        QQuickWindow::setSceneGraphBackend(QSGRendererInterface::Software);
    return choice;
}
