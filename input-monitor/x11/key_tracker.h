// Turns raw key presses and releases into the events a macOS tap would deliver:
// key-down (autorepeat included), key-up, and a flags-changed event carrying the new
// flag word when a modifier key or caps lock goes down or up. Keeps the set of keys
// that are down, because raw events can repeat a release (XTest does, for modifiers).
#pragma once

#include <bitset>
#include <cstdint>
#include <optional>

#include "input-monitor/keyboard.h"

namespace vesk::x11 {

struct TapEvent {
  std::uint32_t type;
  KeyEvent event;
  bool operator==(const TapEvent&) const = default;
};

class KeyTracker {
 public:
  std::optional<TapEvent> press(KeyCode key);
  std::optional<TapEvent> release(KeyCode key);

  /// The modifier flags of the keys now down.
  EventFlags flags() const { return flags_; }
  bool isDown(KeyCode key) const { return inRange(key) && down_.test(static_cast<std::size_t>(key)); }

 private:
  static constexpr std::size_t kKeys = 512;
  static bool inRange(KeyCode key) { return key >= 0 && key < static_cast<KeyCode>(kKeys); }
  EventFlags recomputeFlags() const;

  std::bitset<kKeys> down_;
  EventFlags flags_ = 0;
};

}  // namespace vesk::x11
