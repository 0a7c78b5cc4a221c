// Event line writer over write(2).
#include "input-monitor/emit.h"

#include <string>

#include "common/fd_io.h"

namespace vesk {

void LineOutput::emit(const Json& event) {
  std::string line;
  try {
    line = event.dump();
  } catch (const Json::exception&) {
    return;  // not serialisable (invalid UTF-8 in a string): nothing is written
  }
  line.push_back('\n');
  std::lock_guard<std::mutex> hold(emitLock_);
  writeAll(outHandle_, line);
}

}  // namespace vesk
