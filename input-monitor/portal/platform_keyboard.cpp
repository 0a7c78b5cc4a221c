// Platform keyboard on Linux builds with the shortcut portal and X11: the portal in a
// Wayland session whose bus offers it, else the X display, else no keyboard.
#include <cstdlib>

#include "input-monitor/headless/headless_keyboard.h"
#include "input-monitor/portal/keyboard_choice.h"
#include "input-monitor/portal/portal_keyboard.h"
#include "input-monitor/x11/x11_keyboard.h"

namespace vesk {

std::unique_ptr<Keyboard> makePlatformKeyboard() {
  for (auto kind : portal::keyboardPreference(std::getenv("WAYLAND_DISPLAY"), std::getenv("XDG_SESSION_TYPE"))) {
    std::unique_ptr<Keyboard> keyboard;
    switch (kind) {
      case portal::KeyboardKind::portal:
        keyboard = portal::makePortalKeyboard();
        break;
      case portal::KeyboardKind::x11:
        keyboard = x11::makeX11Keyboard();
        break;
      case portal::KeyboardKind::headless:
        keyboard = makeHeadlessKeyboard();
        break;
    }
    if (keyboard) return keyboard;
  }
  return makeHeadlessKeyboard();
}

}  // namespace vesk
