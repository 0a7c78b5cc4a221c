// Keyboard over Xlib, XInput2 and XKB, observed on the main (event) thread.
//
// Keys are observed as XInput2 raw events on the root window: they reach us whatever
// window has focus and even while a grab is active. The flag word is the server's own
// modifier state, followed through XKB state notifications, so modifiers held before
// the helper started, locked modifiers and remapped keys count as the user sees them.
// A modifier key's state change is reported after its raw event: such a key waits for
// it (or for a round trip that proves none is coming) before the monitor sees it.
// Swallowing is the KeySwallower's, on its own connection and thread. The watchdog
// timer is the poll timeout of this loop.
#include "input-monitor/x11/x11_keyboard.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <vector>

#include "input-monitor/x11/key_swallower.h"
#include "input-monitor/x11/key_tracker.h"
#include "input-monitor/x11/modifier_mapping.h"
#include "input-monitor/x11/x11_connection.h"
#include "input-monitor/x11/x11_keymap.h"

namespace vesk::x11 {
namespace {

using Clock = std::chrono::steady_clock;

struct TimerState {
  Clock::duration interval;
  Clock::time_point next;
  std::function<void()> tick;
  bool valid = true;
};

class LoopTimer final : public RepeatingTimer {
 public:
  explicit LoopTimer(std::shared_ptr<TimerState> state) : state_(std::move(state)) {}
  void invalidate() override { state_->valid = false; }

 private:
  std::shared_ptr<TimerState> state_;
};

// The server's modifier bits and keysyms, read afresh.
std::shared_ptr<const ModifierMapping> readModifierMapping(Display* display) {
  auto mapping = std::make_shared<ModifierMapping>();
  int minKeycode = 0, maxKeycode = 0, perKeycode = 0;
  XDisplayKeycodes(display, &minKeycode, &maxKeycode);
  KeySym* keysyms = XGetKeyboardMapping(display, static_cast<::KeyCode>(minKeycode),
                                        maxKeycode - minKeycode + 1, &perKeycode);
  XModifierKeymap* map = XGetModifierMapping(display);
  for (unsigned bit = 0; map && keysyms && bit < 8; ++bit) {
    for (int i = 0; i < map->max_keypermod; ++i) {
      int keycode = map->modifiermap[static_cast<int>(bit) * map->max_keypermod + i];
      if (keycode < minKeycode || keycode > maxKeycode) continue;
      mapping->addKey(bit, static_cast<unsigned>(keycode), keysyms[(keycode - minKeycode) * perKeycode]);
    }
  }
  if (map) XFreeModifiermap(map);
  if (keysyms) XFree(keysyms);
  return mapping;
}

struct RawKey {
  bool pressed;
  unsigned xKeycode;
};

class X11Keyboard final : public Keyboard {
 public:
  X11Keyboard(Display* display, Display* grabDisplay, int xiOpcode, int xkbEventBase)
      : display_(display),
        root_(DefaultRootWindow(display)),
        xiOpcode_(xiOpcode),
        xkbEventBase_(xkbEventBase),
        mapping_(readModifierMapping(display)),
        swallower_(grabDisplay, mapping_) {}

  bool isTrusted(bool) override { return !displayLost(); }

  bool createTap(KeyEventHandler& handler) override {
    unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
    XISetMask(bits, XI_RawKeyPress);
    XISetMask(bits, XI_RawKeyRelease);
    XIEventMask mask{XIAllMasterDevices, static_cast<int>(sizeof bits), bits};
    takeLastError();
    XISelectEvents(display_, root_, &mask, 1);
    XkbSelectEventDetails(display_, XkbUseCoreKbd, XkbStateNotify, XkbModifierStateMask, XkbModifierStateMask);
    unsigned mapEvents = XkbMapNotifyMask | XkbNewKeyboardNotifyMask;
    XkbSelectEvents(display_, XkbUseCoreKbd, mapEvents, mapEvents);
    // From here every change arrives as an event; start from what is held now.
    flags_ = returnFlagsState();
    markKeysDown();
    if (displayLost() || takeLastError() != 0) return false;
    handler_ = &handler;
    return true;
  }

  // Raw event selection is never turned off by the server.
  void reenableTap() override {}

  EventFlags returnFlagsState() override {
    if (displayLost()) return 0;
    XkbStateRec state{};
    if (XkbGetState(display_, XkbUseCoreKbd, &state) != Success) return 0;
    return mapping_->flagsFor(state.mods);
  }

  bool returnKeyState(std::uint16_t keyCode) override {
    auto xKeycode = xKeycodeFor(keyCode);
    if (displayLost() || !xKeycode) return false;
    char keys[32] = {};
    XQueryKeymap(display_, keys);
    return (keys[*xKeycode / 8] >> (*xKeycode % 8)) & 1;
  }

  // X11 has no mode that hides keys from XInput2 raw events.
  bool returnSecureInputEnabled() override { return false; }

  std::unique_ptr<RepeatingTimer> startRepeatingTimer(double seconds, std::function<void()> tick) override {
    auto state = std::make_shared<TimerState>();
    state->interval = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    state->next = Clock::now() + state->interval;
    state->tick = std::move(tick);
    timers_.push_back(state);
    return std::make_unique<LoopTimer>(state);
  }

  void swallowPlanChanged(const SwallowPlan& plan) override { swallower_.update(plan); }

  void run() override {
    for (;;) {
      drainEvents();
      fireDueTimers();
      pollOnce();
    }
  }

 private:
  void markKeysDown() {
    char keys[32] = {};
    XQueryKeymap(display_, keys);
    for (unsigned keycode = 0; keycode < 256; ++keycode) {
      if ((keys[keycode / 8] >> (keycode % 8)) & 1) tracker_.markDown(keycode);
    }
  }

  void drainEvents() {
    while (!displayLost()) {
      while (!displayLost() && XPending(display_) > 0) {
        XEvent event;
        XNextEvent(display_, &event);
        dispatch(event);
      }
      if (!pending_ || displayLost()) return;
      // Every state change the server made before answering this has arrived.
      XSync(display_, False);
      if (QLength(display_) == 0) {
        deliverPending();
        return;
      }
    }
  }

  void dispatch(XEvent& event) {
    if (event.type == GenericEvent && event.xcookie.extension == xiOpcode_) {
      if (!XGetEventData(display_, &event.xcookie)) return;
      int type = event.xcookie.evtype;
      if (type == XI_RawKeyPress || type == XI_RawKeyRelease) {
        const auto* raw = static_cast<const XIRawEvent*>(event.xcookie.data);
        onRawKey({type == XI_RawKeyPress, static_cast<unsigned>(raw->detail)});
      }
      XFreeEventData(display_, &event.xcookie);
    } else if (event.type == xkbEventBase_) {
      const auto& xkb = reinterpret_cast<const XkbEvent&>(event);
      if (xkb.any.xkb_type == XkbStateNotify) {
        onStateChange(xkb.state);
      } else {
        reloadModifierMapping();
      }
    } else if (event.type == MappingNotify) {
      XRefreshKeyboardMapping(&event.xmapping);
      reloadModifierMapping();
    }
  }

  void onRawKey(RawKey key) {
    deliverPending();  // an earlier modifier key that changed nothing
    if (mapping_->isModifierKey(key.xKeycode)) {
      pending_ = key;
    } else {
      deliver(key);
    }
  }

  void onStateChange(const XkbStateNotifyEvent& change) {
    bool causedByPending = pending_ && change.keycode == pending_->xKeycode &&
                           change.event_type == (pending_->pressed ? KeyPress : KeyRelease);
    if (!causedByPending) deliverPending();
    flags_ = mapping_->flagsFor(change.mods);
    deliverPending();
  }

  void deliverPending() {
    if (auto key = std::exchange(pending_, std::nullopt)) deliver(*key);
  }

  void deliver(RawKey key) {
    KeyCode macKey = macKeyCodeFor(key.xKeycode);
    bool flagKey = isFlagKey(macKey, mapping_->isFlagKey(key.xKeycode));
    auto type = key.pressed ? tracker_.press(key.xKeycode, flagKey) : tracker_.release(key.xKeycode, flagKey);
    // The verdict is already carried out by the grabs in place.
    if (type && handler_) handler_->handle(*type, {macKey, flags_});
  }

  void reloadModifierMapping() {
    auto mapping = readModifierMapping(display_);
    if (*mapping == *mapping_) return;
    mapping_ = mapping;
    swallower_.update(mapping);
    flags_ = returnFlagsState();
  }

  void fireDueTimers() {
    timers_.erase(std::remove_if(timers_.begin(), timers_.end(), [](const auto& t) { return !t->valid; }),
                  timers_.end());
    auto now = Clock::now();
    auto due = timers_;  // a tick may start or stop timers
    for (auto& timer : due) {
      if (!timer->valid || timer->next > now) continue;
      timer->next = std::max(timer->next + timer->interval, now);
      timer->tick();
    }
  }

  int pollTimeoutMs() const {
    std::optional<Clock::time_point> next;
    for (const auto& timer : timers_) {
      if (timer->valid && (!next || timer->next < *next)) next = timer->next;
    }
    if (!next) return -1;
    auto wait = std::chrono::ceil<std::chrono::milliseconds>(*next - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(wait, 0, 60'000));
  }

  void pollOnce() {
    pollfd fd{displayLost() ? -1 : ConnectionNumber(display_), POLLIN, 0};
    if (::poll(&fd, 1, pollTimeoutMs()) <= 0) return;
    if (serverClosed(fd)) markDisplayLost();
  }

  Display* display_;  // observes: raw events, modifier state and key state
  Window root_;
  int xiOpcode_;
  int xkbEventBase_;
  KeyEventHandler* handler_ = nullptr;
  std::shared_ptr<const ModifierMapping> mapping_;
  EventFlags flags_ = 0;
  std::optional<RawKey> pending_;  // a modifier key waiting for its state change
  KeyTracker tracker_;
  std::vector<std::shared_ptr<TimerState>> timers_;
  KeySwallower swallower_;
};

// XInput 2.2 (raw events) and XKB on the display.
bool hasExtensions(Display* display, int& xiOpcode, int& xkbEventBase) {
  int firstEvent = 0, firstError = 0, major = 2, minor = 2;
  if (!XQueryExtension(display, "XInputExtension", &xiOpcode, &firstEvent, &firstError) ||
      XIQueryVersion(display, &major, &minor) != Success || major < 2 || (major == 2 && minor < 2)) {
    return false;
  }
  int xkbOpcode = 0, xkbError = 0, xkbMajor = XkbMajorVersion, xkbMinor = XkbMinorVersion;
  return XkbQueryExtension(display, &xkbOpcode, &xkbEventBase, &xkbError, &xkbMajor, &xkbMinor);
}

}  // namespace

std::unique_ptr<Keyboard> makeX11Keyboard() {
  installErrorHandlers();
  Display* display = openDisplayQuietly(nullptr);
  if (!display) return nullptr;
  int xiOpcode = 0, xkbEventBase = 0;
  Display* grabDisplay = nullptr;
  if (!hasExtensions(display, xiOpcode, xkbEventBase) ||
      !(grabDisplay = openDisplayQuietly(DisplayString(display)))) {
    XCloseDisplay(display);
    return nullptr;
  }
  return std::make_unique<X11Keyboard>(display, grabDisplay, xiOpcode, xkbEventBase);
}

}  // namespace vesk::x11
