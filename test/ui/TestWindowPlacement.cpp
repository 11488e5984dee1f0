#include "RenderBackend.h"
#include "TestFixtures.h"
#include "TestRegistry.h"
#include "WindowPlacement.h"

#include <QRect>
#include <QRegularExpression>
#include <QTest>

namespace {

const QRect Hd(0, 0, 1920, 1080);
// A second screen to the right, with a panel of 40 px on top.
const QRect Right(1920, 40, 1280, 680);

const auto Window = WindowPlacement::Placer::Window;
const auto Compositor = WindowPlacement::Placer::Compositor;

// Shares place the centre, pixels the top-left corner; the height is the
// screen's; the window stays on the screen; what does not read falls back to
// its default, each key on its own, with a warning. Without a width, the
// window is 1000 px wide where it places itself, as wide as the screen where
// the compositor places it; a width given counts for both.
const struct
{
    const char* name;
    const char* location;
    const char* width;
    WindowPlacement::Placer placer;
    QRect available;
    QRect expected;
    bool widthRead;
    bool locationRead;
} Cases[] = {
    {"wider than the screen", "50% 50%", "150%", Window, Right, {1920, 40, 1280, 680}, true, true},
    {"spaces and case", " 50 %   50 % ", " 1000 PX ", Window, Hd, {460, 0, 1000, 1080}, true, true},
    {"offset screen, pixels", "100px 0px", "50%", Window, Right, {2020, 40, 640, 680}, true, true},
    {"both bad", "left top", "0px", Window, Hd, {460, 0, 1000, 1080}, false, false},
    {"compositor's, none", "50% 50%", " ", Compositor, Right, {1920, 40, 1280, 680}, true, true},
    {"compositor's, a width", "50% 50%", "640px", Compositor, Hd, {640, 0, 640, 1080}, true, true},
    {"compositor's, bad width", "50% 50%", "wide", Compositor, Hd, {0, 0, 1920, 1080}, false, true},
};

const auto Auto = ConfigKeys::Renderer::Auto;
const auto OpenGL = ConfigKeys::Renderer::OpenGL;
const auto Software = ConfigKeys::Renderer::Software;

// What draws the window: QT_QUICK_BACKEND wins, then ui/renderer; auto draws
// in software where OpenGL is none or Mesa's rasteriser on the processor, and
// makes an OpenGL context to find out only then.
const struct
{
    const char* name;
    const char* environment;
    ConfigKeys::Renderer renderer;
    const char* openGl; // GL_RENDERER; null: no context can be made
    bool software;
    const char* line;
} Drawings[] = {
    {"llvmpipe", "", Auto, "llvmpipe (LLVM 15.0.6, 256 bits)", true,
     "drawing in software: OpenGL here is Mesa's llvmpipe (LLVM 15.0.6, 256 bits)"},
    {"softpipe", "", Auto, "Gallium 0.4 on softpipe", true, "drawing in software: "},
    {"old swrast", "", Auto, "Software Rasterizer", true, "drawing in software: "},
    {"no context", "", Auto, nullptr, true, "drawing in software: there is no OpenGL here"},
    {"a GPU", "", Auto, "Mali-G31 (Panfrost)", false, "drawing with OpenGL on Mali-G31"},
    {"opengl on llvmpipe", "", OpenGL, "llvmpipe", false, "drawing with OpenGL, as ui/renderer"},
    {"software on a GPU", "", Software, "Mali-G31", true, "drawing in software, as ui/renderer"},
    {"QT_QUICK_BACKEND over the key", "rhi", Software, "Mali-G31", false,
     "drawing as QT_QUICK_BACKEND=rhi says"},
};

} // namespace

class TestWindowPlacement : public QObject
{
    Q_OBJECT

private slots:
    void geometry_data() { addRows(Cases); }

    void geometry()
    {
        const auto& row = currentRow(Cases);
        for (const auto& [read, what] :
             {std::pair{row.widthRead, "width"}, std::pair{row.locationRead, "location"}})
            if (!read)
                QTest::ignoreMessage(
                    QtWarningMsg,
                    QRegularExpression(
                        QString("^ui/%1 \".*\" is not a %1 such as .*; using ").arg(what)));
        const WindowPlacement placement(row.location, row.width, row.placer);
        QCOMPARE(placement.geometry(row.available), row.expected);
        QCOMPARE(placement.widthAccepted(), row.widthRead);
        QCOMPARE(placement.locationAccepted(), row.locationRead);
    }

    void drawing_data() { addRows(Drawings); }

    void drawing()
    {
        const auto& row = currentRow(Drawings);
        bool asked = false;
        const SceneGraphChoice choice =
            sceneGraphChoice(row.environment, row.renderer, [&]() -> std::optional<QString> {
                asked = true;
                return row.openGl ? std::optional<QString>(row.openGl) : std::nullopt;
            });
        QCOMPARE(choice.software, row.software);
        QVERIFY2(choice.line.startsWith(row.line), qPrintable(choice.line));
        QCOMPARE(asked, !*row.environment && row.renderer == Auto);
    }
};

LAUNCHER_TEST(TestWindowPlacement)
#include "TestWindowPlacement.moc"
