// The keyboard of an X11 session.
#pragma once

#include <memory>

#include "input-monitor/keyboard.h"

namespace vesk::x11 {

/// A keyboard over the display named by the environment, or none when no display
/// opens or the server lacks XInput 2.2.
std::unique_ptr<Keyboard> makeX11Keyboard();

}  // namespace vesk::x11
