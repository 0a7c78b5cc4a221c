// The choice of keyboard backend from the session's environment.
#include "input-monitor/portal/keyboard_choice.h"

#include <string_view>

namespace vesk::portal {

bool isWaylandSession(const char* waylandDisplay, const char* sessionType) {
  if (waylandDisplay && *waylandDisplay) return true;
  return sessionType && std::string_view(sessionType) == "wayland";
}

std::vector<KeyboardKind> keyboardPreference(const char* waylandDisplay, const char* sessionType) {
  if (isWaylandSession(waylandDisplay, sessionType)) {
    return {KeyboardKind::portal, KeyboardKind::x11, KeyboardKind::headless};
  }
  return {KeyboardKind::x11, KeyboardKind::headless};
}

}  // namespace vesk::portal
