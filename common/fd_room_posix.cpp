// Room in a descriptor where the kernel does not say how much its reader left unread
// (macOS): poll(2) for writability, which promises at least PIPE_BUF bytes of room.
// A larger item may still block part-way if the reader stops in the middle of it.
#include <poll.h>

#include <cerrno>
#include <cstddef>

#include "common/fd_sink.h"

namespace vesk {

void waitForRoom(int fd, std::size_t) {
  pollfd watched{fd, POLLOUT, 0};
  while (::poll(&watched, 1, -1) < 0 && errno == EINTR) {
  }
}

}  // namespace vesk
