// Whole writes to a descriptor once it has room for them.
//
// An item is begun only when half the buffer can take what its reader left unread
// and the item too: a buffer is a ring of pages, and a write that spans pages may
// leave part of a page unused (a 9604-byte frame takes at most three 4 KiB pages).
//
// A producer's write looks at the room only when what earlier looks proved runs
// short, and reads the buffer's size only once. Both can fail in one way: a host may
// shrink its pipe while it is empty (a pipe's size belongs to both its ends). So those
// writes never wait: what the descriptor does not take goes back to the stream
// writer, whose thread finishes the item, and the size is read again. Where writes
// that never wait are not to be had, every write reads the size and looks first.
#include "common/fd_sink.h"

#include "common/fd_io.h"

namespace vesk {

void FdSink::write(std::string_view bytes) {
  waitForRoom(fd_, kind_, bytes.size());
  writeAll(fd_, bytes);  // a reader that has gone loses the bytes; nobody is told
  provenRoom_ = 0;       // this write may have filled what the last look saw
}

std::size_t FdSink::writeIfRoom(std::string_view bytes) {
  if (!writesWithoutWaiting_) forgetRoom();
  if (provenRoom_ < bytes.size()) look();
  if (provenRoom_ < bytes.size()) return 0;
  if (writesWithoutWaiting_) {
    if (auto taken = writeWithoutWaiting(fd_, bytes)) {
      if (*taken == bytes.size()) {
        provenRoom_ -= *taken;
      } else {
        forgetRoom();  // the buffer shrank under the proof
      }
      return *taken;
    }
    writesWithoutWaiting_ = false;
  }
  writeAll(fd_, bytes);  // right after a look that found room for all of it
  return bytes.size();
}

void FdSink::look() {
  if (bufferSize_ == 0) bufferSize_ = returnBufferSize(fd_, kind_);
  const auto unread = returnUnread(fd_, kind_);
  provenRoom_ = unread && 2 * *unread < bufferSize_ ? bufferSize_ / 2 - *unread : 0;
}

void FdSink::forgetRoom() {
  bufferSize_ = 0;
  provenRoom_ = 0;
}

}  // namespace vesk
