// Keyboard over Xlib and XInput2, all on the main (event) thread.
//
// Keys are observed as XInput2 raw events on the root window: they reach us whatever
// window has focus and even while a grab is active. X cannot drop an event after
// showing it to us, so swallowing is arranged ahead from the monitor's plan: passive
// key grabs for a main-key binding, an active keyboard grab while recording. The grabs
// live on a second connection: the server withholds raw events from the client whose
// own grab on the root window is active, so the observing client must not hold one.
// The plan arrives from the command thread through an eventfd; every X call stays here.
// The watchdog timer is the poll timeout of the same loop.
#include "input-monitor/x11/x11_keyboard.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <optional>
#include <vector>

#include "input-monitor/x11/key_tracker.h"
#include "input-monitor/x11/modifier_mapping.h"
#include "input-monitor/x11/x11_keymap.h"

namespace vesk::x11 {
namespace {

using Clock = std::chrono::steady_clock;

// Xlib reports a lost connection through process-wide handlers; the process has one display.
std::atomic<bool> displayLost{false};
int lastErrorCode = 0;  // event thread only

int onXError(Display*, XErrorEvent* error) {
  // A grab that another client holds fails with BadAccess; nothing here is fatal.
  lastErrorCode = error->error_code;
  return 0;
}

int onIOError(Display*) {
  displayLost = true;
  return 0;
}

// Xlib would exit the process once the I/O error handler returns; returning from
// this one instead leaves the process running without its display.
void onIOErrorExit(Display*, void*) { displayLost = true; }

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

class X11Keyboard final : public Keyboard {
 public:
  X11Keyboard(Display* display, Display* grabDisplay, int xiOpcode)
      : display_(display),
        grabDisplay_(grabDisplay),
        root_(DefaultRootWindow(display)),
        xiOpcode_(xiOpcode),
        wakeFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    loadModifierMapping();
  }

  bool isTrusted(bool) override { return !displayLost; }

  bool createTap(KeyEventHandler& handler) override {
    unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
    XISetMask(bits, XI_RawKeyPress);
    XISetMask(bits, XI_RawKeyRelease);
    XIEventMask mask{XIAllMasterDevices, static_cast<int>(sizeof bits), bits};
    lastErrorCode = 0;
    XISelectEvents(display_, root_, &mask, 1);
    XSync(display_, False);
    if (displayLost || lastErrorCode != 0) return false;
    handler_ = &handler;
    return true;
  }

  // Raw event selection is never turned off by the server.
  void reenableTap() override {}

  EventFlags returnFlagsState() override {
    if (displayLost) return 0;
    XkbStateRec state{};
    if (XkbGetState(display_, XkbUseCoreKbd, &state) != Success) return 0;
    return mapping_.flagsFor(state.mods);
  }

  bool returnKeyState(std::uint16_t keyCode) override {
    auto xKeycode = xKeycodeFor(keyCode);
    if (displayLost || !xKeycode) return false;
    char keys[32] = {};
    XQueryKeymap(display_, keys);
    return (keys[*xKeycode / 8] >> (*xKeycode % 8)) & 1;
  }

  std::unique_ptr<RepeatingTimer> startRepeatingTimer(double seconds, std::function<void()> tick) override {
    auto state = std::make_shared<TimerState>();
    state->interval = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    state->next = Clock::now() + state->interval;
    state->tick = std::move(tick);
    timers_.push_back(state);
    return std::make_unique<LoopTimer>(state);
  }

  void swallowPlanChanged(const SwallowPlan& plan) override {
    std::lock_guard<std::mutex> hold(planLock_);
    pendingPlan_ = plan;
    std::uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(wakeFd_, &one, sizeof one);
  }

  void run() override {
    for (;;) {
      drainEvents();
      applyPendingPlan();
      fireDueTimers();
      pollOnce();
    }
  }

 private:
  void loadModifierMapping() {
    XModifierKeymap* map = XGetModifierMapping(display_);
    if (!map) return;
    for (unsigned bit = 0; bit < 8; ++bit) {
      for (int i = 0; i < map->max_keypermod; ++i) {
        unsigned keycode = map->modifiermap[static_cast<int>(bit) * map->max_keypermod + i];
        if (keycode != 0) mapping_.addKeycode(bit, keycode);
      }
    }
    XFreeModifiermap(map);
  }

  void drainEvents() {
    // The key events our grabs take arrive on the grab connection; dropping them is the
    // swallowing.
    while (!displayLost && XPending(grabDisplay_) > 0) {
      XEvent event;
      XNextEvent(grabDisplay_, &event);
    }
    while (!displayLost && XPending(display_) > 0) {
      XEvent event;
      XNextEvent(display_, &event);
      if (event.type != GenericEvent || event.xcookie.extension != xiOpcode_) continue;
      if (!XGetEventData(display_, &event.xcookie)) continue;
      int type = event.xcookie.evtype;
      if (type == XI_RawKeyPress || type == XI_RawKeyRelease) {
        const auto* raw = static_cast<const XIRawEvent*>(event.xcookie.data);
        deliver(type == XI_RawKeyPress, static_cast<unsigned>(raw->detail));
      }
      XFreeEventData(display_, &event.xcookie);
    }
  }

  void deliver(bool pressed, unsigned xKeycode) {
    KeyCode key = macKeyCodeFor(xKeycode);
    auto tapEvent = pressed ? tracker_.press(key) : tracker_.release(key);
    // The verdict is already carried out by the grabs in place.
    if (tapEvent && handler_) handler_->handle(tapEvent->type, tapEvent->event);
  }

  void applyPendingPlan() {
    std::optional<SwallowPlan> plan;
    {
      std::lock_guard<std::mutex> hold(planLock_);
      plan = std::exchange(pendingPlan_, std::nullopt);
    }
    if (!plan || displayLost || *plan == appliedPlan_) return;
    releaseGrabs();
    appliedPlan_ = *plan;
    lastErrorCode = 0;
    if (plan->everything) {
      keyboardGrabbed_ =
          XGrabKeyboard(grabDisplay_, root_, False, GrabModeAsync, GrabModeAsync, CurrentTime) == GrabSuccess;
    } else if (plan->mainKey) {
      grabKey(*plan->mainKey, plan->requiredModifiers);
    }
    // Grabs another client holds fail here with BadAccess: the binding then only observes.
    XSync(grabDisplay_, False);
  }

  void grabKey(KeyCode key, ModifierMask required) {
    auto xKeycode = xKeycodeFor(key);
    auto xMods = mapping_.xModsFor(required);
    if (!xKeycode || !xMods) return;  // no such key or modifier here: it can never be pressed
    for (unsigned state : statesWithAtLeast(*xMods)) {
      XGrabKey(grabDisplay_, static_cast<int>(*xKeycode), state, root_, False, GrabModeAsync, GrabModeAsync);
    }
    grabbedKeycode_ = xKeycode;
  }

  void releaseGrabs() {
    if (keyboardGrabbed_) XUngrabKeyboard(grabDisplay_, CurrentTime);
    keyboardGrabbed_ = false;
    if (grabbedKeycode_) XUngrabKey(grabDisplay_, static_cast<int>(*grabbedKeycode_), AnyModifier, root_);
    grabbedKeycode_.reset();
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
    pollfd fds[3] = {{wakeFd_, POLLIN, 0},
                     {displayLost ? -1 : ConnectionNumber(display_), POLLIN, 0},
                     {displayLost ? -1 : ConnectionNumber(grabDisplay_), POLLIN, 0}};
    if (::poll(fds, 3, pollTimeoutMs()) <= 0) return;
    if (fds[0].revents & POLLIN) {
      std::uint64_t count;
      [[maybe_unused]] auto n = ::read(wakeFd_, &count, sizeof count);
    }
    if (serverClosed(fds[1]) || serverClosed(fds[2])) displayLost = true;
  }

  // Notices a server that went away before Xlib does: Xlib's own path for a lost
  // connection unlocks a display mutex it never locked.
  static bool serverClosed(const pollfd& fd) {
    if (fd.fd < 0 || !(fd.revents & (POLLIN | POLLHUP | POLLERR))) return false;
    char byte;
    ssize_t n = ::recv(fd.fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
  }

  Display* display_;      // observes: raw events and key state
  Display* grabDisplay_;  // swallows: holds the grabs
  Window root_;
  int xiOpcode_;
  int wakeFd_;
  KeyEventHandler* handler_ = nullptr;
  ModifierMapping mapping_;
  KeyTracker tracker_;
  std::vector<std::shared_ptr<TimerState>> timers_;

  std::mutex planLock_;
  std::optional<SwallowPlan> pendingPlan_;  // guarded by planLock_

  SwallowPlan appliedPlan_;
  bool keyboardGrabbed_ = false;
  std::optional<unsigned> grabbedKeycode_;
};

}  // namespace

std::unique_ptr<Keyboard> makeX11Keyboard() {
  XSetErrorHandler(onXError);
  XSetIOErrorHandler(onIOError);
  Display* display = XOpenDisplay(nullptr);
  if (!display) return nullptr;
  XSetIOErrorExitHandler(display, onIOErrorExit, nullptr);
  int opcode = 0, firstEvent = 0, firstError = 0;
  int major = 2, minor = 2;
  Display* grabDisplay = nullptr;
  if (!XQueryExtension(display, "XInputExtension", &opcode, &firstEvent, &firstError) ||
      XIQueryVersion(display, &major, &minor) != Success || major < 2 || (major == 2 && minor < 2) ||
      !(grabDisplay = XOpenDisplay(DisplayString(display)))) {
    XCloseDisplay(display);
    return nullptr;
  }
  XSetIOErrorExitHandler(grabDisplay, onIOErrorExit, nullptr);
  return std::make_unique<X11Keyboard>(display, grabDisplay, opcode);
}

}  // namespace vesk::x11
