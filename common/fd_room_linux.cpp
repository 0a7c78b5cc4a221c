// Room in a pipe or socket on Linux: what the reader has left unread (FIONREAD on a
// pipe, SIOCOUTQ on a socket) against the buffer's size (F_GETPIPE_SZ, SO_SNDBUF),
// checked every 10 ms on the writer thread while the reader is not reading, and once
// by a producer that would write its item itself.
//
// A pipe's buffer is a ring of pages and a write that spans pages may leave part of
// a page unused, so free bytes are not capacity minus unread. Keeping what is unread
// plus the new item within half the buffer leaves room for the item however the
// pages are laid out (a 9604-byte frame takes at most three 4 KiB pages).
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <linux/sockios.h>

#include <cstddef>

#include "common/fd_sink.h"

namespace vesk {
namespace {

constexpr int kPollMilliseconds = 10;

struct Occupancy {
  std::size_t unread = 0;
  std::size_t capacity = 0;
};

// What the reader has not read yet and the buffer's size; none for descriptors
// that are neither pipes nor sockets, or when the kernel does not say.
bool returnOccupancy(int fd, FdKind kind, Occupancy& out) {
  int unread = 0;
  int capacity = 0;
  if (kind == FdKind::pipe) {
    capacity = ::fcntl(fd, F_GETPIPE_SZ);
    if (capacity <= 0 || ::ioctl(fd, FIONREAD, &unread) != 0) return false;
  } else if (kind == FdKind::socket) {
    socklen_t size = sizeof capacity;
    if (::getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &capacity, &size) != 0 || capacity <= 0) return false;
    if (::ioctl(fd, SIOCOUTQ, &unread) != 0) return false;
  } else {
    return false;
  }
  out.unread = static_cast<std::size_t>(unread < 0 ? 0 : unread);
  out.capacity = static_cast<std::size_t>(capacity);
  return true;
}

}  // namespace

FdKind returnFdKind(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return FdKind::other;
  if (S_ISFIFO(st.st_mode)) return FdKind::pipe;
  if (S_ISSOCK(st.st_mode)) return FdKind::socket;
  return FdKind::other;
}

void waitForRoom(int fd, FdKind kind, std::size_t bytes) {
  Occupancy now;
  // An empty buffer takes whatever comes; an item larger than half of it can only go then.
  while (returnOccupancy(fd, kind, now) && now.unread > 0 && 2 * (now.unread + bytes) > now.capacity) {
    // Asks for no event: poll returns early only when the reader has gone (an error
    // or hang-up), and then the write fails at once instead of waiting for ever.
    pollfd watched{fd, 0, 0};
    if (::poll(&watched, 1, kPollMilliseconds) > 0) return;
  }
}

bool hasRoomNow(int fd, FdKind kind, std::size_t bytes) {
  Occupancy now;
  return returnOccupancy(fd, kind, now) && 2 * (now.unread + bytes) <= now.capacity;
}

}  // namespace vesk
