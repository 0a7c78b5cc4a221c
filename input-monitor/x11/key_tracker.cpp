#include "input-monitor/x11/key_tracker.h"

namespace vesk::x11 {

std::optional<std::uint32_t> KeyTracker::press(unsigned xKeycode, bool flagKey) {
  if (xKeycode >= kKeys) return std::nullopt;
  bool wasDown = down_.test(xKeycode);
  down_.set(xKeycode);
  if (flagKey) return wasDown ? std::nullopt : std::optional<std::uint32_t>(kFlagsChanged);
  return kKeyDown;
}

std::optional<std::uint32_t> KeyTracker::release(unsigned xKeycode, bool flagKey) {
  if (xKeycode >= kKeys || !down_.test(xKeycode)) return std::nullopt;
  down_.reset(xKeycode);
  return flagKey ? kFlagsChanged : kKeyUp;
}

void KeyTracker::markDown(unsigned xKeycode) {
  if (xKeycode < kKeys) down_.set(xKeycode);
}

bool isFlagKey(KeyCode macKeyCode, bool serverFlagKey) {
  constexpr KeyCode kCapsLock = 57;
  return serverFlagKey || macKeyCode == kCapsLock || modifierKeyMask(macKeyCode).has_value();
}

}  // namespace vesk::x11
