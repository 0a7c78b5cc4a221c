// The push-to-talk binding as a desktop shortcut: the trigger text of the XDG shortcuts
// syntax ("CTRL+space": modifier names, then an XKB keysym name) and the session token
// under which it is registered. Pure tables and text; no D-Bus here.
#pragma once

#include <optional>
#include <string>

#include "input-monitor/keyboard.h"
#include "input-monitor/keys.h"

namespace vesk::portal {

struct PortalShortcut {
  KeyCode mainKey = 0;
  ModifierMask modifiers = 0;
  std::string trigger;  // preferred trigger, e.g. "CTRL+ALT+F5"
  bool operator==(const PortalShortcut&) const = default;
};

/// The XKB keysym name of the key at a macOS key code's position on a US layout, or
/// none for keys a trigger cannot name (modifier keys, fn, codes without a key).
std::optional<std::string> keysymNameFor(KeyCode keyCode);

/// The shortcut for what the monitor may press now, or none when nothing can be
/// pressed (no binding, record mode) or a trigger cannot express the binding: a
/// modifier-only binding, a lone modifier key, fn, a name outside the five, a key
/// without a keysym.
std::optional<PortalShortcut> shortcutFor(const SwallowPlan& plan);

/// The session token of a shortcut: one per trigger, the same in every run. Desktops
/// remember the trigger a session token was given; a fresh token per binding would
/// leave every old token holding its key, while one token per trigger keeps each key
/// with the one token that asks for it again.
std::string sessionTokenFor(const PortalShortcut& shortcut);

}  // namespace vesk::portal
