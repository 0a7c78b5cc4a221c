// The keyboard seam: everything the push-to-talk monitor needs from the operating
// system, and nothing more. The core is written against this interface only; each
// platform supplies one implementation (an event tap on macOS, XInput2 and grabs on
// X11, none at all on a machine without keyboard access), and tests supply a fake.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "input-monitor/keys.h"

namespace vesk {

/// Event types as the platform tap reports them.
enum EventType : std::uint32_t {
  kKeyDown = 10,
  kKeyUp = 11,
  kFlagsChanged = 12,
  kTapDisabledByTimeout = 0xFFFFFFFE,
  kTapDisabledByUserInput = 0xFFFFFFFF,
};

/// One key event: its key code (a macOS virtual key code) and the flag word after it.
struct KeyEvent {
  KeyCode keyCode = 0;
  EventFlags flags = 0;
  bool operator==(const KeyEvent&) const = default;
};

enum class Verdict { pass, swallow };

/// Receives every event of the tap. Implemented by the monitor.
class KeyEventHandler {
 public:
  virtual ~KeyEventHandler() = default;
  /// Called on the event thread for every event; the verdict decides whether
  /// applications see it.
  virtual Verdict handle(std::uint32_t type, const KeyEvent& event) = 0;
};

/// What the monitor may swallow from now on. A backend whose platform cannot drop an
/// event after seeing it (X11 needs grabs set up ahead) arranges that from this; a
/// backend that filters every event by its verdict (a macOS event tap) may ignore it.
struct SwallowPlan {
  /// Record mode: any key may be taken.
  bool everything = false;
  /// A main-key binding that can be pressed: this key, with at least these modifiers.
  std::optional<KeyCode> mainKey;
  ModifierMask requiredModifiers = 0;
  bool operator==(const SwallowPlan&) const = default;
};

/// A repeating timer whose ticks run on the event thread.
class RepeatingTimer {
 public:
  virtual ~RepeatingTimer() = default;
  /// No tick runs after this returns. Called on the event thread.
  virtual void invalidate() = 0;
};

class Keyboard {
 public:
  virtual ~Keyboard() = default;

  /// Whether the process may watch the keyboard. With `prompt`, the platform may ask
  /// the user to grant it. Called from any thread.
  virtual bool isTrusted(bool prompt) = 0;

  /// Creates an active tap that hands every key-down, key-up and modifier change to
  /// `handler` on the event thread and applies its verdict. Called once, on the event
  /// thread, before `run`. False when the tap cannot be created.
  virtual bool createTap(KeyEventHandler& handler) = 0;

  /// Turns the tap on again after the platform disabled it. Event thread.
  virtual void reenableTap() = 0;

  /// The modifier flags held right now in the session. Event thread.
  virtual EventFlags returnFlagsState() = 0;

  /// Whether the key is down right now. Event thread.
  virtual bool returnKeyState(std::uint16_t keyCode) = 0;

  /// Whether the two state queries above see the real keyboard. A backend that is
  /// told of presses and releases but cannot look at keys (a desktop portal that owns
  /// the shortcut) answers false: it delivers every release itself, also when it loses
  /// the shortcut, and the monitor then keeps no watchdog. Any thread; never changes.
  virtual bool hasKeyState() const { return true; }

  /// Whether the system withholds key events from every tap right now (macOS "secure
  /// event input": a password field, a terminal's secure keyboard entry). False on
  /// platforms that have no such state. Event thread.
  virtual bool returnSecureInputEnabled() = 0;

  /// Starts a timer that calls `tick` on the event thread every `seconds` until invalidated.
  virtual std::unique_ptr<RepeatingTimer> startRepeatingTimer(double seconds, std::function<void()> tick) = 0;

  /// The monitor's binding or mode changed. Called from either thread with the
  /// monitor's lock held: store and wake the event thread, never call back.
  virtual void swallowPlanChanged(const SwallowPlan& plan) = 0;

  /// Runs the event loop on the calling (event) thread for the rest of the process.
  virtual void run() = 0;
};

/// The keyboard of this platform, chosen by the build.
std::unique_ptr<Keyboard> makePlatformKeyboard();

/// Runs `body` as one long-running background task (the command reader), on a global
/// work queue at user-initiated priority where the platform has one.
void startBackgroundTask(std::function<void()> body);

}  // namespace vesk
