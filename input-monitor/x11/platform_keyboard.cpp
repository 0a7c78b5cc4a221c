// Platform keyboard on X11 systems: the X display when one opens, else no keyboard.
#include "input-monitor/headless/headless_keyboard.h"
#include "input-monitor/x11/x11_keyboard.h"

namespace vesk {

std::unique_ptr<Keyboard> makePlatformKeyboard() {
  if (auto keyboard = x11::makeX11Keyboard()) return keyboard;
  return makeHeadlessKeyboard();
}

}  // namespace vesk
