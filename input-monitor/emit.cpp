// Event lines handed to the stream writer of standard output.
#include "input-monitor/emit.h"

#include <string>
#include <utility>

namespace vesk {

LineOutput::LineOutput(int fd) : outHandle_(fd), writer_(outHandle_, clock_, kLineBacklog) { writer_.startThread(); }

void LineOutput::emit(const Json& event) {
  std::string line;
  try {
    line = event.dump();
  } catch (const Json::exception&) {
    return;  // not serialisable (invalid UTF-8 in a string): nothing is written
  }
  line.push_back('\n');
  writer_.write(std::move(line));
}

}  // namespace vesk
