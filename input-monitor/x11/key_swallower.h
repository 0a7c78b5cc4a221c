// Swallows the bound key, and only it, on an X connection of its own and a thread of
// its own, so that the keyboard never waits on the monitor or on its output.
#pragma once

#include <X11/Xlib.h>

#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "input-monitor/keyboard.h"
#include "input-monitor/x11/modifier_mapping.h"

namespace vesk::x11 {

class KeySwallower {
 public:
  /// Takes `display` (a connection nothing else uses) and starts the thread.
  KeySwallower(Display* display, std::shared_ptr<const ModifierMapping> mapping);
  ~KeySwallower();
  KeySwallower(const KeySwallower&) = delete;
  KeySwallower& operator=(const KeySwallower&) = delete;

  /// What the monitor may swallow from now on. Any thread; never waits on X.
  void update(const SwallowPlan& plan);

  /// The server's modifier mapping changed. Any thread; never waits on X.
  void update(std::shared_ptr<const ModifierMapping> mapping);

 private:
  void run();
  void wake();
  void applyPending();
  void grabKey(KeyCode key, ModifierMask required);
  void releaseGrabs();
  void answerGrabEvents();
  void answer(const XKeyEvent& key);

  Display* display_;
  Window root_;
  int wakeFd_;

  std::mutex lock_;  // guards the three fields below
  SwallowPlan plan_;
  std::shared_ptr<const ModifierMapping> mapping_;
  bool stopping_ = false;

  // The swallowing thread's own.
  SwallowPlan appliedPlan_;
  std::shared_ptr<const ModifierMapping> appliedMapping_;
  bool keyboardGrabbed_ = false;
  std::optional<unsigned> grabbedKeycode_;

  std::thread thread_;
};

}  // namespace vesk::x11
