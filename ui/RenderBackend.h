#pragma once

// Chooses how the screen is drawn, before its first window: a panel without
// working OpenGL still gets its screen, drawn in software; QT_QUICK_BACKEND,
// when set, chooses otherwise. Every Qt Quick window of the project that is
// meant to be drawn as the screen is (its memory bench's bare window too)
// calls this one.
void chooseSceneGraphBackend();
