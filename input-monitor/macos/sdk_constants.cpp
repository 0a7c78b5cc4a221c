// The key vocabulary (keys.h) and the keyboard seam (keyboard.h) spell Quartz event
// types, event-flag masks and virtual key codes themselves, so that the portable core
// builds without the SDK. Compiled only for macOS: every one of them must equal the
// SDK's. No code: a mismatch fails the build.
#include <ApplicationServices/ApplicationServices.h>
#include <Carbon/Carbon.h>

#include "input-monitor/keyboard.h"
#include "input-monitor/keys.h"

namespace {

using vesk::MOD_MASKS;
using vesk::MODIFIER_KEYCODES;

// Event types, as the tap callback hands them over.
constexpr bool sameType(vesk::EventType ours, CGEventType sdk) {
  return static_cast<std::uint32_t>(ours) == static_cast<std::uint32_t>(sdk);
}
static_assert(sameType(vesk::kKeyDown, kCGEventKeyDown));
static_assert(sameType(vesk::kKeyUp, kCGEventKeyUp));
static_assert(sameType(vesk::kFlagsChanged, kCGEventFlagsChanged));
static_assert(sameType(vesk::kTapDisabledByTimeout, kCGEventTapDisabledByTimeout));
static_assert(sameType(vesk::kTapDisabledByUserInput, kCGEventTapDisabledByUserInput));

// Modifier names and their flag masks, in label order.
static_assert(MOD_MASKS[0].name == "control" && MOD_MASKS[0].mask == kCGEventFlagMaskControl);
static_assert(MOD_MASKS[1].name == "option" && MOD_MASKS[1].mask == kCGEventFlagMaskAlternate);
static_assert(MOD_MASKS[2].name == "shift" && MOD_MASKS[2].mask == kCGEventFlagMaskShift);
static_assert(MOD_MASKS[3].name == "command" && MOD_MASKS[3].mask == kCGEventFlagMaskCommand);
static_assert(MOD_MASKS[4].name == "fn" && MOD_MASKS[4].mask == kCGEventFlagMaskSecondaryFn);

// The physical modifier keys and the mask each sets.
constexpr bool modifierKey(std::size_t index, vesk::KeyCode code, CGEventFlags mask) {
  return MODIFIER_KEYCODES[index].first == code && MODIFIER_KEYCODES[index].second == mask;
}
static_assert(modifierKey(0, kVK_RightCommand, kCGEventFlagMaskCommand));
static_assert(modifierKey(1, kVK_Command, kCGEventFlagMaskCommand));
static_assert(modifierKey(2, kVK_Option, kCGEventFlagMaskAlternate));
static_assert(modifierKey(3, kVK_RightOption, kCGEventFlagMaskAlternate));
static_assert(modifierKey(4, kVK_Control, kCGEventFlagMaskControl));
static_assert(modifierKey(5, kVK_RightControl, kCGEventFlagMaskControl));
static_assert(modifierKey(6, kVK_Shift, kCGEventFlagMaskShift));
static_assert(modifierKey(7, kVK_RightShift, kCGEventFlagMaskShift));

}  // namespace
