// The keyboard of a machine where the process cannot watch keys at all (Linux with
// no display, say): untrusted, no tap. The monitor still answers every command.
#pragma once

#include <memory>

#include "input-monitor/keyboard.h"

namespace vesk {

std::unique_ptr<Keyboard> makeHeadlessKeyboard();

}  // namespace vesk
