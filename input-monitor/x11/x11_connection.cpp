// Xlib connections and process-wide handlers, for the threads of the X11 keyboard.
#include "input-monitor/x11/x11_connection.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace vesk::x11 {
namespace {

std::atomic<bool> lost{false};
// Xlib calls the error handler on the thread that reads the failed request's reply.
thread_local int lastErrorCode = 0;

int onXError(Display*, XErrorEvent* error) {
  // A grab that another client holds fails with BadAccess; nothing here is fatal.
  lastErrorCode = error->error_code;
  return 0;
}

int onIOError(Display*) {
  lost = true;
  return 0;
}

// Xlib would exit the process once the I/O error handler returns; returning from
// this one instead leaves the process running without its display.
void onIOErrorExit(Display*, void*) { lost = true; }

}  // namespace

void installErrorHandlers() {
  XSetErrorHandler(onXError);
  XSetIOErrorHandler(onIOError);
}

Display* openDisplayQuietly(const char* name) {
  int saved = ::dup(STDERR_FILENO);
  int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (saved >= 0 && null >= 0) ::dup2(null, STDERR_FILENO);
  Display* display = XOpenDisplay(name);
  if (saved >= 0) {
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
  }
  if (null >= 0) ::close(null);
  if (display) XSetIOErrorExitHandler(display, onIOErrorExit, nullptr);
  return display;
}

int takeLastError() {
  int code = lastErrorCode;
  lastErrorCode = 0;
  return code;
}

bool displayLost() { return lost; }
void markDisplayLost() { lost = true; }

bool serverClosed(const pollfd& fd) {
  if (fd.fd < 0 || !(fd.revents & (POLLIN | POLLHUP | POLLERR))) return false;
  char byte;
  ssize_t n = ::recv(fd.fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

}  // namespace vesk::x11
