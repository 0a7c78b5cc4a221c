// Room in a pipe or socket on Linux: what the reader has left unread (FIONREAD on a
// pipe, SIOCOUTQ on a socket) against the buffer's size (F_GETPIPE_SZ, SO_SNDBUF),
// checked every 10 ms on the writer thread while the reader is not reading, and by a
// producer that would write its item itself when what it proved before runs short.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>

#include <linux/sockios.h>

#include <cerrno>
#include <cstddef>
#include <optional>
#include <string_view>

#include "common/fd_sink.h"

namespace vesk {
namespace {

constexpr int kPollMilliseconds = 10;

}  // namespace

std::size_t returnBufferSize(int fd, FdKind kind) {
  int size = 0;
  if (kind == FdKind::pipe) {
    size = ::fcntl(fd, F_GETPIPE_SZ);
  } else if (kind == FdKind::socket) {
    socklen_t length = sizeof size;
    if (::getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, &length) != 0) return 0;
  }
  return size > 0 ? static_cast<std::size_t>(size) : 0;
}

std::optional<std::size_t> returnUnread(int fd, FdKind kind) {
  int unread = 0;
  if (kind == FdKind::other || ::ioctl(fd, kind == FdKind::pipe ? FIONREAD : SIOCOUTQ, &unread) != 0) {
    return std::nullopt;
  }
  return static_cast<std::size_t>(unread < 0 ? 0 : unread);
}

FdKind returnFdKind(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return FdKind::other;
  if (S_ISFIFO(st.st_mode)) return FdKind::pipe;
  if (S_ISSOCK(st.st_mode)) return FdKind::socket;
  return FdKind::other;
}

void waitForRoom(int fd, FdKind kind, std::size_t bytes) {
  for (;;) {
    const std::size_t capacity = returnBufferSize(fd, kind);
    const auto unread = returnUnread(fd, kind);
    // An empty buffer takes whatever comes; an item larger than half of it can only go then.
    if (capacity == 0 || !unread || *unread == 0 || 2 * (*unread + bytes) <= capacity) return;
    // Asks for no event: poll returns early only when the reader has gone (an error
    // or hang-up), and then the write fails at once instead of waiting for ever.
    pollfd watched{fd, 0, 0};
    if (::poll(&watched, 1, kPollMilliseconds) > 0) return;
  }
}

// RWF_NOWAIT makes this one write non-blocking without touching the descriptor's
// flags, which it shares with whoever else holds it. Kernels that cannot do that for
// a pipe or socket refuse the flag (EOPNOTSUPP) before writing anything.
std::optional<std::size_t> writeWithoutWaiting(int fd, std::string_view bytes) {
  iovec piece{const_cast<char*>(bytes.data()), bytes.size()};
  for (;;) {
    const ssize_t n = ::pwritev2(fd, &piece, 1, -1, RWF_NOWAIT);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno == EINTR) continue;
    if (errno == EAGAIN) return 0;
    if (errno == EOPNOTSUPP || errno == EINVAL || errno == ENOSYS) return std::nullopt;
    return bytes.size();  // the reader has gone
  }
}

}  // namespace vesk
