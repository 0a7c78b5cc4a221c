// The push-to-talk monitor: the one object that holds the binding, the mode and the
// hold, decides the verdict of every key event, keeps the 0.2 s watchdog on the real
// key state while a hold lasts, records the next shortcut in record mode, and reports
// when the system starts or stops withholding keys from the tap (secure event input).
//
// Two threads use it. The event thread runs start(), every handle() and every timer
// tick; the command reader changes binding and mode. `lock_` guards every
// field; events emitted while it is held take the output's own lock after it.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "input-monitor/emit.h"
#include "input-monitor/keyboard.h"
#include "input-monitor/keys.h"

namespace vesk {

/// A copy of the monitor's state, for tests and diagnostics.
struct MonitorState {
  bool hasBinding = false;
  std::optional<KeyCode> bindingMainKey;
  Modifiers bindingMods;
  std::string mode;
  bool pttActive = false;
  bool hasHoldWatchdog = false;
  EventFlags prevFlags = 0;
  std::optional<ModifierMask> recordPendingMod;
};

class Monitor final : public KeyEventHandler {
 public:
  Monitor(Keyboard& keyboard, EventOutput& output);
  ~Monitor() override;
  Monitor(const Monitor&) = delete;
  Monitor& operator=(const Monitor&) = delete;

  /// Reports the permission, tries once to create the tap, reports "ready", and starts
  /// the secure input check. Event thread, once, before the command reader starts.
  void start();

  /// The verdict of one tap event. Event thread. Emits nothing and allocates nothing
  /// unless the event begins, ends or records something.
  Verdict handle(std::uint32_t type, const KeyEvent& event) override;

  /// One tick of the hold watchdog. Event thread.
  void watchdogTick();

  /// One tick of the secure input check, every second from start(): while a binding is
  /// set or record mode is on, emits "secureInput" when the state differs from the one
  /// last reported (at first: off). Event thread.
  void secureInputTick();

  /// Asks the keyboard whether the process is trusted and emits the answer. Any thread;
  /// takes no lock of the monitor.
  void reportPermission(bool prompt);

  /// Command mutators. Any thread. None of them emits "up": a hold in progress is
  /// dropped silently and its watchdog stops itself on its next tick.
  void setBinding(std::optional<KeyCode> mainKey, const std::vector<std::string>& modifiers);
  void clearBinding();
  void setMode(const std::string& mode);

  MonitorState state() const;

 private:
  Verdict handleListen(std::uint32_t type, const KeyEvent& event);
  Verdict handleModifierOnly(std::uint32_t type, ModifierMask cur);
  Verdict handleModifierKey(std::uint32_t type, const KeyEvent& event, EventFlags keyMask);
  Verdict handleMainKey(std::uint32_t type, const KeyEvent& event, ModifierMask cur);
  Verdict handleRecord(std::uint32_t type, const KeyEvent& event);
  void emitRecorded(std::optional<KeyCode> mainKey, ModifierMask modifiers);
  void beginHold();
  void endHold();
  void stopWatchdog();
  bool bindingModsActive(ModifierMask cur) const;
  bool boundModifierReleased(EventFlags flagsState) const;
  void publishSwallowPlan();

  Keyboard& keyboard_;
  EventOutput& output_;

  mutable std::mutex lock_;
  bool eventTap_ = false;  // written once by start(), before the reader exists
  std::optional<KeyCode> bindingMainKey_;
  Modifiers bindingMods_;
  bool hasBinding_ = false;
  std::string mode_ = "listen";
  bool recordMode_ = false;  // mode_ == "record", kept so events compare no strings
  bool pttActive_ = false;
  std::unique_ptr<RepeatingTimer> holdWatchdog_;
  EventFlags prevFlags_ = 0;
  std::optional<ModifierMask> recordPendingMod_;
  std::optional<SwallowPlan> publishedPlan_;
  std::unique_ptr<RepeatingTimer> secureInputTimer_;
  bool secureInputReported_ = false;

  // The watchdog's tick refers to the monitor only through this, weakly.
  std::shared_ptr<Monitor*> self_;
};

}  // namespace vesk
