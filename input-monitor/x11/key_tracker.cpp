#include "input-monitor/x11/key_tracker.h"

namespace vesk::x11 {
namespace {

constexpr KeyCode kCapsLock = 57;

bool isFlagKey(KeyCode key) { return key == kCapsLock || modifierKeyMask(key).has_value(); }

}  // namespace

std::optional<TapEvent> KeyTracker::press(KeyCode key) {
  if (!inRange(key)) return std::nullopt;
  bool wasDown = down_.test(static_cast<std::size_t>(key));
  down_.set(static_cast<std::size_t>(key));
  if (isFlagKey(key)) {
    if (wasDown) return std::nullopt;  // modifiers do not repeat
    flags_ = recomputeFlags();
    return TapEvent{kFlagsChanged, {key, flags_}};
  }
  return TapEvent{kKeyDown, {key, flags_}};  // a press of a key already down is its autorepeat
}

std::optional<TapEvent> KeyTracker::release(KeyCode key) {
  if (!inRange(key) || !down_.test(static_cast<std::size_t>(key))) return std::nullopt;
  down_.reset(static_cast<std::size_t>(key));
  if (isFlagKey(key)) {
    flags_ = recomputeFlags();
    return TapEvent{kFlagsChanged, {key, flags_}};
  }
  return TapEvent{kKeyUp, {key, flags_}};
}

EventFlags KeyTracker::recomputeFlags() const {
  EventFlags flags = 0;
  for (const auto& [code, mask] : MODIFIER_KEYCODES) {
    if (down_.test(static_cast<std::size_t>(code))) flags |= mask;
  }
  return flags;
}

}  // namespace vesk::x11
