// Turns raw key presses and releases into the event types a macOS tap would deliver:
// key-down (autorepeat included), key-up, and a flags-changed event when a modifier key
// goes down or up. Keeps the set of keys that are down, because raw events can repeat
// a release (XTest does, for modifiers); keys already down when watching begins are
// marked so their releases count. The flag word itself comes from the server's state.
#pragma once

#include <bitset>
#include <cstdint>
#include <optional>

#include "input-monitor/keyboard.h"

namespace vesk::x11 {

class KeyTracker {
 public:
  /// The event type of a press of X keycode `xKeycode`: flags-changed for a modifier key
  /// (`flagKey`), none when that key is already down (modifiers do not repeat), else a
  /// key-down (a press of a key already down is its autorepeat).
  std::optional<std::uint32_t> press(unsigned xKeycode, bool flagKey);

  /// Key-up or flags-changed; none for a key that is not down.
  std::optional<std::uint32_t> release(unsigned xKeycode, bool flagKey);

  /// Marks a key found down when watching begins.
  void markDown(unsigned xKeycode);

 private:
  static constexpr unsigned kKeys = 256;
  std::bitset<kKeys> down_;
};

/// Whether a key reports modifier changes: a key at a macOS modifier position or Caps
/// Lock (57), or one the server lists as a modifier that sets a flag.
bool isFlagKey(KeyCode macKeyCode, bool serverFlagKey);

}  // namespace vesk::x11
