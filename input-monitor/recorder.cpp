// Record mode: the next shortcut the user presses, reported once with its label.
// Either a key with whatever modifiers are held, or one modifier pressed and
// released on its own.
#include "input-monitor/monitor.h"

namespace vesk {
namespace {

ModifierMask lowestBit(ModifierMask set) { return static_cast<ModifierMask>(set & -set); }

Verdict swallowIfFn(ModifierMask set) { return (set & kFnBit) ? Verdict::swallow : Verdict::pass; }

}  // namespace

Verdict Monitor::handleRecord(std::uint32_t type, const KeyEvent& event) {
  switch (type) {
    case kKeyDown:
      recordPendingMod_.reset();
      emitRecorded(event.keyCode, activeMods(event.flags));
      return Verdict::swallow;
    case kFlagsChanged:
      break;
    default:
      // Key-ups pass, including that of the key just recorded.
      return Verdict::pass;
  }
  ModifierMask prev = activeMods(prevFlags_);
  ModifierMask cur = activeMods(event.flags);
  ModifierMask added = cur & ~prev;
  ModifierMask removed = prev & ~cur;
  if (added) {
    // A modifier pressed on its own is a candidate; a second one rules it out.
    if (prev == 0) {
      recordPendingMod_ = lowestBit(added);
    } else {
      recordPendingMod_.reset();
    }
    return swallowIfFn(cur);
  }
  if (recordPendingMod_ && (removed & *recordPendingMod_) && cur == 0) {
    ModifierMask recorded = *recordPendingMod_;
    recordPendingMod_.reset();
    emitRecorded(std::nullopt, recorded);
    return swallowIfFn(prev);
  }
  return swallowIfFn(prev | cur);
}

void Monitor::emitRecorded(std::optional<KeyCode> mainKey, ModifierMask modifiers) {
  Json binding;
  binding["mainKey"] = mainKey ? Json(*mainKey) : Json(nullptr);
  binding["modifiers"] = Modifiers{modifiers, {}}.names();
  binding["label"] = labelFor(mainKey, modifiers);
  output_.emit(Json{{"type", "recorded"}, {"binding", std::move(binding)}});
  mode_ = "listen";
  recordMode_ = false;
  pttActive_ = false;
  publishSwallowPlan();
}

}  // namespace vesk
