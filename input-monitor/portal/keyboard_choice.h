// Which keyboard backend a Linux session gets. Pure: the caller reads the environment
// and tries the backends in the order given, taking the first that starts.
#pragma once

#include <vector>

namespace vesk::portal {

enum class KeyboardKind { portal, x11, headless };

/// Whether these values of WAYLAND_DISPLAY and XDG_SESSION_TYPE (null when unset)
/// describe a Wayland session.
bool isWaylandSession(const char* waylandDisplay, const char* sessionType);

/// The backends to try, best first. In a Wayland session the desktop's shortcut portal
/// comes first, even where XWayland offers an X display too: X clients there see keys
/// only while one of their own windows has focus.
std::vector<KeyboardKind> keyboardPreference(const char* waylandDisplay, const char* sessionType);

}  // namespace vesk::portal
