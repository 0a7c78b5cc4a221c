// Whole writes to a descriptor once it has room for them.
#include "common/fd_sink.h"

#include "common/fd_io.h"

namespace vesk {

void FdSink::write(std::string_view bytes) {
  waitForRoom(fd_, kind_, bytes.size());
  writeAll(fd_, bytes);  // a reader that has gone loses the bytes; nobody is told
}

bool FdSink::writeIfRoom(std::string_view bytes) {
  if (!hasRoomNow(fd_, kind_, bytes.size())) return false;
  writeAll(fd_, bytes);
  return true;
}

}  // namespace vesk
