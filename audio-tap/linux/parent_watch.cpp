// Parent watch over pidfd_open(2) and poll(2), on a thread of its own; where the
// kernel has no pidfds it falls back to checking getppid(2) four times a second
// (the parent changes when the old one exits and the process is re-parented).
#include "audio-tap/linux/parent_watch.h"

#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

namespace vesk {
namespace {

int openPidfd(ProcessID pid) {
#ifdef SYS_pidfd_open
  return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
  errno = ENOSYS;
  return -1;
#endif
}

// Blocks until `pid` has exited or is no longer the parent.
void waitForParentExit(ProcessID pid) {
  int fd = -1;
  if (pid > 0) {
    fd = openPidfd(pid);
    if (fd < 0 && errno == ESRCH) return;  // already gone
  }
  // The pid may have been reused after the parent exited; only the current parent counts.
  if (::getppid() != pid) {
    if (fd >= 0) ::close(fd);
    return;
  }
  if (fd >= 0) {
    pollfd watched{fd, POLLIN, 0};
    while (::poll(&watched, 1, -1) < 0 && errno == EINTR) {
    }
    ::close(fd);
    return;
  }
  while (::getppid() == pid) std::this_thread::sleep_for(std::chrono::milliseconds(250));
}

}  // namespace

void watchParentProcess(ProcessID pid, SerialQueue& mainQueue, std::function<void()> onExit) {
  std::thread([pid, &mainQueue, onExit = std::move(onExit)] {
    waitForParentExit(pid);
    mainQueue.async(onExit);
  }).detach();
}

}  // namespace vesk
