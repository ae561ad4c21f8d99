// Whether an X display with the GLX extension can be reached, asked before Qt starts (Qt's xcb
// platform ends the process when it finds no display, and quietly falls back to EGL, which GLEW
// cannot serve, when the display has no GLX). No Qt and no X11 header here.
#pragma once

#include <string>

// True when $DISPLAY names a display that opens and offers GLX. Otherwise false with `why` set to
// a sentence saying what is missing.
bool glxDisplayAvailable(std::string& why);
