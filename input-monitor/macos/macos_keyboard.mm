// Keyboard over Quartz Event Services, on the main thread's run loop.
//
// An active event tap at the head of the session's event stream hands every key-down,
// key-up and modifier change to the monitor and returns its verdict: the event itself
// to pass it on, NULL to swallow it. The tap callback and the timers (hold watchdog,
// secure input check) run on the main run loop in the common modes. A bare CFRunLoop
// drains no autorelease pool, so each of them runs inside its own. Trust queries may
// come from any thread, the command reader's long-running task among them, and drain
// their own pool too. The secure input state comes from Carbon's
// IsSecureEventInputEnabled().
#import <ApplicationServices/ApplicationServices.h>
#import <Carbon/Carbon.h>
#import <Foundation/Foundation.h>
#include <dispatch/dispatch.h>

#include "input-monitor/keyboard.h"

namespace vesk {
namespace {

// Key-down, key-up and flags-changed: the bits of event types 10, 11 and 12.
constexpr CGEventMask kKeyEventsMask = 0x1C00;
static_assert(kKeyEventsMask ==
              (CGEventMaskBit(kCGEventKeyDown) | CGEventMaskBit(kCGEventKeyUp) | CGEventMaskBit(kCGEventFlagsChanged)));

CGEventRef tapCallback(CGEventTapProxy, CGEventType type, CGEventRef event, void* userInfo) {
  @autoreleasepool {
    auto* handler = static_cast<KeyEventHandler*>(userInfo);
    KeyEvent keyEvent{CGEventGetIntegerValueField(event, kCGKeyboardEventKeycode), CGEventGetFlags(event)};
    Verdict verdict = handler->handle(static_cast<std::uint32_t>(type), keyEvent);
    return verdict == Verdict::pass ? event : NULL;
  }
}

class RunLoopTimer final : public RepeatingTimer {
 public:
  explicit RunLoopTimer(NSTimer* timer) : timer_(timer) {}
  void invalidate() override { [timer_ invalidate]; }

 private:
  NSTimer* timer_;
};

class MacKeyboard final : public Keyboard {
 public:
  ~MacKeyboard() override {
    if (source_) CFRelease(source_);
    if (tap_) CFRelease(tap_);
  }

  bool isTrusted(bool prompt) override {
    if (!prompt) return AXIsProcessTrusted();
    @autoreleasepool {
      NSDictionary* options = @{(__bridge NSString*)kAXTrustedCheckOptionPrompt : @YES};
      return AXIsProcessTrustedWithOptions((__bridge CFDictionaryRef)options);
    }
  }

  bool createTap(KeyEventHandler& handler) override {
    // The handler is handed over unretained: it lives as long as the process.
    tap_ = CGEventTapCreate(kCGSessionEventTap, kCGHeadInsertEventTap, kCGEventTapOptionDefault, kKeyEventsMask,
                            tapCallback, &handler);
    if (!tap_) return false;
    source_ = CFMachPortCreateRunLoopSource(kCFAllocatorDefault, tap_, 0);
    CFRunLoopAddSource(CFRunLoopGetCurrent(), source_, kCFRunLoopCommonModes);
    CGEventTapEnable(tap_, true);
    return true;
  }

  void reenableTap() override {
    if (tap_) CGEventTapEnable(tap_, true);
  }

  EventFlags returnFlagsState() override {
    return CGEventSourceFlagsState(kCGEventSourceStateCombinedSessionState);
  }

  bool returnKeyState(std::uint16_t keyCode) override {
    return CGEventSourceKeyState(kCGEventSourceStateCombinedSessionState, keyCode);
  }

  bool returnSecureInputEnabled() override { return IsSecureEventInputEnabled(); }

  std::unique_ptr<RepeatingTimer> startRepeatingTimer(double seconds, std::function<void()> tick) override {
    // The block owns a copy of the tick, which itself holds the monitor only weakly.
    NSTimer* timer = [NSTimer timerWithTimeInterval:seconds
                                            repeats:YES
                                              block:^(NSTimer*) {
                                                @autoreleasepool {
                                                  tick();
                                                }
                                              }];
    [[NSRunLoop currentRunLoop] addTimer:timer forMode:NSRunLoopCommonModes];
    return std::make_unique<RunLoopTimer>(timer);
  }

  // The tap decides every event by its verdict; nothing needs arranging ahead.
  void swallowPlanChanged(const SwallowPlan&) override {}

  void run() override { CFRunLoopRun(); }

 private:
  CFMachPortRef tap_ = nullptr;
  CFRunLoopSourceRef source_ = nullptr;
};

}  // namespace

std::unique_ptr<Keyboard> makePlatformKeyboard() { return std::make_unique<MacKeyboard>(); }

void startBackgroundTask(std::function<void()> body) {
  dispatch_async(dispatch_get_global_queue(QOS_CLASS_USER_INITIATED, 0), ^{
    body();
  });
}

}  // namespace vesk
