// Process identity for tests: the identifiers a test chooses.
#pragma once

#include "audio-tap/process/process_info.h"

namespace vesk::testing {

class FakeProcessInfo final : public ProcessInfo {
 public:
  FakeProcessInfo(ProcessID ownPID, ProcessID parentPID) : own(ownPID), parent(parentPID) {}
  ProcessID returnProcessID() override { return own; }
  ProcessID returnParentProcessID() override { return parent; }
  ProcessID own;
  ProcessID parent;
};

}  // namespace vesk::testing
