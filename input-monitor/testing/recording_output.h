// An event output for tests: keeps every line as the process would write it.
#pragma once

#include <string>
#include <vector>

#include "input-monitor/emit.h"

namespace vesk::testing {

class RecordingOutput final : public EventOutput {
 public:
  void emit(const Json& event) override { lines.push_back(event.dump()); }

  /// The lines written since the last call, then forgets them.
  std::vector<std::string> take() { return std::exchange(lines, {}); }

  std::vector<std::string> lines;
};

}  // namespace vesk::testing
