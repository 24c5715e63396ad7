#pragma once
// Whether the window can be shown at all. Qt aborts the process (with a core) when its
// platform cannot reach a display, so the program asks before it makes the Qt application.
#include <string>

#include "app/exit_codes.h"

namespace qx {

// How a window start without a display ends: kExitNoDisplay, and this text on standard error.
std::string NoDisplayText();

// platform is QT_QPA_PLATFORM (a ';'-separated list of candidates, each optionally followed by
// ":options"), x11Display DISPLAY and waylandDisplay WAYLAND_DISPLAY; null counts as empty.
// Without a platform, Qt needs an X11 or a Wayland display; "xcb" needs DISPLAY, "wayland..."
// WAYLAND_DISPLAY; other platforms (offscreen, eglfs, vnc, ...) draw without one.
bool DisplayAvailable(const char* platform, const char* x11Display, const char* waylandDisplay);
// The same from the process environment.
bool DisplayAvailable();

}  // namespace qx
