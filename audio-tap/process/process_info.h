// The identity of this process and its parent, read afresh at each call.
#pragma once

#include "audio-tap/process/settings.h"

namespace vesk {

class ProcessInfo {
 public:
  virtual ~ProcessInfo() = default;
  /// Any thread.
  virtual ProcessID returnProcessID() = 0;
  virtual ProcessID returnParentProcessID() = 0;
};

}  // namespace vesk
