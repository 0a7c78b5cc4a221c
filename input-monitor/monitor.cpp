// Start-up, the listen-mode hold machine, the hold watchdog and the secure input check.
#include "input-monitor/monitor.h"

namespace vesk {
namespace {

constexpr double kWatchdogSeconds = 0.2;
constexpr double kSecureInputSeconds = 1.0;

// Built once: a hold's events are the only output on the keystroke path.
const Json& downEvent() {
  static const Json event{{"type", "down"}};
  return event;
}
const Json& upEvent() {
  static const Json event{{"type", "up"}};
  return event;
}

bool isTapDisabled(std::uint32_t type) {
  return type == kTapDisabledByTimeout || type == kTapDisabledByUserInput;
}

}  // namespace

Monitor::Monitor(Keyboard& keyboard, EventOutput& output)
    : keyboard_(keyboard), output_(output), self_(std::make_shared<Monitor*>(this)) {}

Monitor::~Monitor() {
  std::lock_guard<std::mutex> hold(lock_);
  self_.reset();
  stopWatchdog();
  if (secureInputTimer_) secureInputTimer_->invalidate();
}

void Monitor::start() {
  reportPermission(false);
  eventTap_ = keyboard_.createTap(*this);
  if (eventTap_) {
    std::lock_guard<std::mutex> hold(lock_);
    publishSwallowPlan();
  }
  output_.emit(Json{{"type", "ready"}, {"tapCreated", eventTap_}});
  std::weak_ptr<Monitor*> weakSelf = self_;
  auto timer = keyboard_.startRepeatingTimer(kSecureInputSeconds, [weakSelf] {
    if (auto self = weakSelf.lock()) (*self)->secureInputTick();
  });
  std::lock_guard<std::mutex> hold(lock_);
  secureInputTimer_ = std::move(timer);
}

void Monitor::secureInputTick() {
  std::lock_guard<std::mutex> hold(lock_);
  // While nothing listens for keys, the state does not matter and is not asked.
  if (!hasBinding_ && !recordMode_) return;
  bool enabled = keyboard_.returnSecureInputEnabled();
  if (enabled == secureInputReported_) return;
  secureInputReported_ = enabled;
  output_.emit(Json{{"type", "secureInput"}, {"enabled", enabled}});
}

void Monitor::reportPermission(bool prompt) {
  bool trusted = keyboard_.isTrusted(prompt);
  output_.emit(Json{{"type", "permission"}, {"trusted", trusted}});
}

Verdict Monitor::handle(std::uint32_t type, const KeyEvent& event) {
  if (isTapDisabled(type)) {
    // The platform turned the tap off (slow callback or user input); turn it back on.
    if (eventTap_) keyboard_.reenableTap();
    return Verdict::pass;
  }
  std::lock_guard<std::mutex> hold(lock_);
  Verdict verdict = recordMode_ ? handleRecord(type, event) : handleListen(type, event);
  prevFlags_ = event.flags;
  return verdict;
}

Verdict Monitor::handleListen(std::uint32_t type, const KeyEvent& event) {
  if (!hasBinding_) return Verdict::pass;
  ModifierMask cur = activeMods(event.flags);
  if (!bindingMainKey_) return handleModifierOnly(type, cur);
  if (auto keyMask = modifierKeyMask(*bindingMainKey_)) return handleModifierKey(type, event, *keyMask);
  return handleMainKey(type, event, cur);
}

Verdict Monitor::handleModifierOnly(std::uint32_t type, ModifierMask cur) {
  if (type != kFlagsChanged) return Verdict::pass;
  bool satisfied = !bindingMods_.empty() && bindingModsActive(cur);
  if (satisfied == pttActive_) return Verdict::pass;
  if (satisfied) {
    beginHold();
  } else {
    endHold();
  }
  // fn changes are swallowed so the system's own fn action does not fire.
  return (bindingMods_.known & kFnBit) ? Verdict::swallow : Verdict::pass;
}

Verdict Monitor::handleModifierKey(std::uint32_t type, const KeyEvent& event, EventFlags keyMask) {
  if (type != kFlagsChanged || event.keyCode != *bindingMainKey_) return Verdict::pass;
  if (pttActive_) {
    // The next change of the bound key releases, whatever the flags say: the left and
    // right keys share one flag bit.
    endHold();
  } else if ((event.flags & keyMask) == keyMask) {
    beginHold();
  }
  return Verdict::pass;
}

Verdict Monitor::handleMainKey(std::uint32_t type, const KeyEvent& event, ModifierMask cur) {
  bool isBoundKey = event.keyCode == *bindingMainKey_;
  switch (type) {
    case kFlagsChanged:
      if (pttActive_ && !bindingModsActive(cur)) endHold();
      return Verdict::pass;
    case kKeyUp:
      if (!isBoundKey || !pttActive_) return Verdict::pass;
      endHold();
      return Verdict::swallow;
    case kKeyDown:
      if (!isBoundKey || !bindingModsActive(cur)) return Verdict::pass;
      if (!pttActive_) beginHold();  // autorepeat is swallowed without a second "down"
      return Verdict::swallow;
    default:
      return Verdict::pass;
  }
}

bool Monitor::bindingModsActive(ModifierMask cur) const {
  // A name outside the five is never active.
  return bindingMods_.unknown.empty() && (bindingMods_.known & ~cur) == 0;
}

void Monitor::beginHold() {
  pttActive_ = true;
  output_.emit(downEvent());
  if (holdWatchdog_) return;  // left over from a dropped hold: reuse it
  // Nothing to poll: such a keyboard reports the end of every hold itself.
  if (!keyboard_.hasKeyState()) return;
  std::weak_ptr<Monitor*> weakSelf = self_;
  holdWatchdog_ = keyboard_.startRepeatingTimer(kWatchdogSeconds, [weakSelf] {
    if (auto self = weakSelf.lock()) (*self)->watchdogTick();
  });
}

void Monitor::endHold() {
  pttActive_ = false;
  output_.emit(upEvent());
  stopWatchdog();
}

void Monitor::stopWatchdog() {
  if (!holdWatchdog_) return;
  holdWatchdog_->invalidate();
  holdWatchdog_.reset();
}

void Monitor::watchdogTick() {
  std::lock_guard<std::mutex> hold(lock_);
  if (!pttActive_) {
    // Idle or dropped by a command: the timer has nothing left to watch.
    stopWatchdog();
    return;
  }
  EventFlags flagsState = keyboard_.returnFlagsState();
  if (!bindingMainKey_) {
    if (bindingMods_.empty() || boundModifierReleased(flagsState)) endHold();
    return;
  }
  KeyCode key = *bindingMainKey_;
  // Events carry 16-bit key codes, so a hold never begins on a key outside that range.
  bool down = key >= 0 && key <= 0xFFFF && keyboard_.returnKeyState(static_cast<std::uint16_t>(key));
  if (modifierKeyMask(key)) {
    if (!down) endHold();
  } else if (!down || boundModifierReleased(flagsState)) {
    endHold();
  }
}

bool Monitor::boundModifierReleased(EventFlags flagsState) const {
  for (std::size_t i = 0; i < MOD_MASKS.size(); ++i) {
    ModifierMask bit = modifierBit(i);
    // fn is never polled: only events end an fn hold.
    if (bit == kFnBit || !(bindingMods_.known & bit)) continue;
    if ((flagsState & MOD_MASKS[i].mask) != MOD_MASKS[i].mask) return true;
  }
  return false;
}

void Monitor::setBinding(std::optional<KeyCode> mainKey, const std::vector<std::string>& modifiers) {
  Modifiers mods = Modifiers::fromNames(modifiers);
  std::lock_guard<std::mutex> hold(lock_);
  bindingMainKey_ = mainKey;
  bindingMods_ = std::move(mods);
  hasBinding_ = true;
  pttActive_ = false;
  publishSwallowPlan();
}

void Monitor::clearBinding() {
  std::lock_guard<std::mutex> hold(lock_);
  hasBinding_ = false;
  pttActive_ = false;
  publishSwallowPlan();
}

void Monitor::setMode(const std::string& mode) {
  std::lock_guard<std::mutex> hold(lock_);
  mode_ = mode;
  recordMode_ = mode_ == "record";
  recordPendingMod_.reset();
  pttActive_ = false;
  publishSwallowPlan();
}

void Monitor::publishSwallowPlan() {
  SwallowPlan plan;
  if (recordMode_) {
    plan.everything = true;
  } else if (hasBinding_ && bindingMainKey_ && !modifierKeyMask(*bindingMainKey_) &&
             bindingMods_.unknown.empty()) {
    plan.mainKey = bindingMainKey_;
    plan.requiredModifiers = bindingMods_.known;
  }
  if (publishedPlan_ == plan) return;
  publishedPlan_ = plan;
  keyboard_.swallowPlanChanged(plan);
}

MonitorState Monitor::state() const {
  std::lock_guard<std::mutex> hold(lock_);
  return MonitorState{hasBinding_, bindingMainKey_, bindingMods_,   mode_,
                      pttActive_,  holdWatchdog_ != nullptr, prevFlags_, recordPendingMod_};
}

}  // namespace vesk
