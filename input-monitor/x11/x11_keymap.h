// Key positions of an X server with evdev keycodes (every current Linux X server)
// as macOS virtual key codes, the codes the monitor speaks everywhere. Pure tables:
// no X headers, so the mapping is tested on its own.
#pragma once

#include <cstdint>
#include <optional>

#include "input-monitor/keys.h"

namespace vesk::x11 {

/// X keycodes with no macOS counterpart are reported as this offset plus the X
/// keycode: above every macOS key code, so they carry no key name and label as "keyN".
inline constexpr KeyCode kUnmappedKeyBase = 0x100;

/// The macOS virtual key code at the position of an X keycode (8-255).
KeyCode macKeyCodeFor(unsigned xKeycode);

/// The X keycode of a macOS virtual key code (or of an unmapped code), or none.
std::optional<unsigned> xKeycodeFor(KeyCode macKeyCode);

}  // namespace vesk::x11
