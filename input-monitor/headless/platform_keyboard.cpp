// Platform keyboard for builds without a keyboard backend.
#include "input-monitor/headless/headless_keyboard.h"

namespace vesk {

std::unique_ptr<Keyboard> makePlatformKeyboard() { return makeHeadlessKeyboard(); }

}  // namespace vesk
