// Room in a descriptor where the kernel does not say how much its reader left unread
// (macOS): poll(2) for writability, which promises at least PIPE_BUF bytes of room.
// A larger item may still block part-way if the reader stops in the middle of it,
// so a producer never writes an item itself here: every item goes by the writer thread.
#include <poll.h>

#include <cerrno>
#include <cstddef>
#include <optional>
#include <string_view>

#include "common/fd_sink.h"

namespace vesk {

FdKind returnFdKind(int) { return FdKind::other; }

void waitForRoom(int fd, FdKind, std::size_t) {
  pollfd watched{fd, POLLOUT, 0};
  while (::poll(&watched, 1, -1) < 0 && errno == EINTR) {
  }
}

std::size_t returnBufferSize(int, FdKind) { return 0; }

std::optional<std::size_t> returnUnread(int, FdKind) { return std::nullopt; }

std::optional<std::size_t> writeWithoutWaiting(int, std::string_view) { return std::nullopt; }

}  // namespace vesk
