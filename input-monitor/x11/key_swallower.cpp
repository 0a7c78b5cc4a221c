// Swallowing on X11 with passive key grabs, on its own thread and its own connection
// (the server withholds raw events from the client whose own grab on the root window is
// active, so the observing connection must not hold one).
//
// X cannot drop an event after showing it to a client, so the monitor's plan is put in
// place ahead: for a main-key binding, a passive grab of the key in every modifier state
// that gives the bound modifiers; while recording, an active grab of the whole keyboard.
// A passive grab takes the whole keyboard once it activates, so it is made synchronous:
// the server freezes the keyboard after each event it reports here, and this thread
// answers at once, without asking the monitor. The bound key's presses (autorepeats
// too) and its release are taken and the next event is let through to us; the first
// other key event, a modifier change included, is replayed to the focused window, which
// ends the grab. The server activates no passive grab on an autorepeat and hands such a
// press to nobody, so the bound key stays hidden from the focused window; only its
// release, when other keys came between, reaches it (X has no grab of a release).
#include "input-monitor/x11/key_swallower.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "input-monitor/x11/x11_connection.h"
#include "input-monitor/x11/x11_keymap.h"

namespace vesk::x11 {

KeySwallower::KeySwallower(Display* display, std::shared_ptr<const ModifierMapping> mapping)
    : display_(display),
      root_(DefaultRootWindow(display)),
      wakeFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      mapping_(std::move(mapping)),
      thread_([this] { run(); }) {}

KeySwallower::~KeySwallower() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    stopping_ = true;
  }
  wake();
  thread_.join();
  ::close(wakeFd_);
}

void KeySwallower::update(const SwallowPlan& plan) {
  std::lock_guard<std::mutex> hold(lock_);
  plan_ = plan;
  wake();
}

void KeySwallower::update(std::shared_ptr<const ModifierMapping> mapping) {
  std::lock_guard<std::mutex> hold(lock_);
  mapping_ = std::move(mapping);
  wake();
}

void KeySwallower::wake() {
  std::uint64_t one = 1;
  [[maybe_unused]] auto n = ::write(wakeFd_, &one, sizeof one);
}

void KeySwallower::run() {
  for (;;) {
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (stopping_) return;
    }
    applyPending();
    answerGrabEvents();
    pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {displayLost() ? -1 : ConnectionNumber(display_), POLLIN, 0}};
    if (::poll(fds, 2, -1) <= 0) continue;
    if (fds[0].revents & POLLIN) {
      std::uint64_t count;
      [[maybe_unused]] auto n = ::read(wakeFd_, &count, sizeof count);
    }
    if (serverClosed(fds[1])) markDisplayLost();
  }
}

void KeySwallower::applyPending() {
  SwallowPlan plan;
  std::shared_ptr<const ModifierMapping> mapping;
  {
    std::lock_guard<std::mutex> hold(lock_);
    plan = plan_;
    mapping = mapping_;
  }
  if (displayLost() || (plan == appliedPlan_ && mapping == appliedMapping_)) return;
  releaseGrabs();
  appliedPlan_ = plan;
  appliedMapping_ = mapping;
  if (plan.everything) {
    keyboardGrabbed_ =
        XGrabKeyboard(display_, root_, False, GrabModeAsync, GrabModeAsync, CurrentTime) == GrabSuccess;
  } else if (plan.mainKey) {
    grabKey(*plan.mainKey, plan.requiredModifiers);
  }
  // Grabs another client holds fail here with BadAccess: the binding then only observes.
  XSync(display_, False);
  takeLastError();
}

void KeySwallower::grabKey(KeyCode key, ModifierMask required) {
  auto xKeycode = xKeycodeFor(key);
  if (!xKeycode || !appliedMapping_) return;  // no such key here: it can never be pressed
  for (unsigned state : appliedMapping_->statesGiving(required)) {
    XGrabKey(display_, static_cast<int>(*xKeycode), state, root_, False, GrabModeAsync, GrabModeSync);
  }
  grabbedKeycode_ = xKeycode;
}

void KeySwallower::releaseGrabs() {
  // Also ends a passive grab that is active now, and thaws the keyboard.
  XUngrabKeyboard(display_, CurrentTime);
  keyboardGrabbed_ = false;
  if (grabbedKeycode_) XUngrabKey(display_, static_cast<int>(*grabbedKeycode_), AnyModifier, root_);
  grabbedKeycode_.reset();
}

void KeySwallower::answerGrabEvents() {
  while (!displayLost() && XPending(display_) > 0) {
    XEvent event;
    XNextEvent(display_, &event);
    if (event.type == KeyPress || event.type == KeyRelease) answer(event.xkey);
  }
  if (!displayLost()) XFlush(display_);
}

void KeySwallower::answer(const XKeyEvent& key) {
  // While recording, the keyboard grab takes everything and nothing is frozen; an
  // event of a grab since released needs no answer either.
  if (keyboardGrabbed_ || !grabbedKeycode_) return;
  if (key.keycode != *grabbedKeycode_) {
    // Any other key: the focused window gets it, as if no grab had been there.
    XAllowEvents(display_, ReplayKeyboard, key.time);
  } else if (key.type == KeyPress) {
    // The bound key: taken. The time keeps the answer from reaching a later grab.
    XAllowEvents(display_, SyncKeyboard, key.time);
  }
  // The bound key's release ends the grab, and the freeze with it.
}

}  // namespace vesk::x11
