#pragma once

#include "config/ConfigKeys.h"

#include <QString>

#include <functional>
#include <optional>

// How the screen is drawn, and the line at start that says so, in the
// screen's words ("drawing in software: OpenGL here is Mesa's llvmpipe").
struct SceneGraphChoice
{
    // Qt Quick's own rasteriser; otherwise Qt's default (OpenGL), or what
    // QT_QUICK_BACKEND names.
    bool software = false;
    QString line;
};

// The choice for QT_QUICK_BACKEND (`environment`: empty when unset), which
// wins, then ui/renderer. Auto draws with OpenGL only where it is hardware:
// `openGlRenderer`, asked only then, gives the renderer of an OpenGL context
// (GL_RENDERER), or nothing when none can be made; Mesa's software
// rasterisers (llvmpipe, softpipe, swrast) cost more memory than drawing in
// software without OpenGL, for nothing that the screen shows.
SceneGraphChoice sceneGraphChoice(const QString& environment, ConfigKeys::Renderer renderer,
                                  const std::function<std::optional<QString>()>& openGlRenderer);

// Chooses how the screen is drawn, before its first window, as ui/renderer of
// the launcher.ini that the screen reads says (its warnings are the
// backend's, when it loads the file), and returns the choice. Every Qt Quick
// window of the project that is meant to be drawn as the screen is (its
// memory bench's bare window too) calls this one.
//
// The OpenGL context that auto asks about is made by this program again
// (OpenGlRendererOption, which its main() hands to printOpenGlRenderer()):
// a driver once loaded stays, and Mesa's llvmpipe alone holds more memory
// than the whole screen drawn in software; a driver that hangs or crashes
// there costs the screen nothing but OpenGL. On eglfs, which draws every
// window through OpenGL, it is made in this one.
SceneGraphChoice chooseSceneGraphBackend();

inline const char* const OpenGlRendererOption = "--opengl-renderer";
// The child's part: GL_RENDERER of a context made current, on standard
// output; exit code 1 when none can be made.
int printOpenGlRenderer(int argc, char* argv[]);
