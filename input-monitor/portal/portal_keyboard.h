// The keyboard of a Wayland session: push-to-talk as a shortcut that the desktop owns,
// through the XDG desktop portal's GlobalShortcuts interface.
#pragma once

#include <memory>

#include "input-monitor/keyboard.h"

namespace vesk::portal {

/// A keyboard over the session bus's GlobalShortcuts portal, or none when there is no
/// session bus or it offers no such portal.
std::unique_ptr<Keyboard> makePortalKeyboard();

}  // namespace vesk::portal
