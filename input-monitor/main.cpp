// vesk-input-monitor: system-wide push-to-talk for the host application.
// The main thread reports permission and readiness, then runs the keyboard's event
// loop; a second thread reads commands. End of input ends the process with status 0.
#include <unistd.h>

#include <csignal>

#include "input-monitor/commands.h"
#include "input-monitor/emit.h"
#include "input-monitor/keyboard.h"
#include "input-monitor/monitor.h"

namespace {

constexpr double kEndOfInputDrainSeconds = 0.25;

}  // namespace

int main() {
  // A host that closed its end of the pipe must not kill us.
  std::signal(SIGPIPE, SIG_IGN);

  static vesk::LineOutput output(STDOUT_FILENO);
  static auto keyboard = vesk::makePlatformKeyboard();
  static vesk::Monitor monitor(*keyboard, output);
  monitor.start();  // "permission" and "ready" go out before any command is read

  vesk::startBackgroundTask([] {
    vesk::readCommands(STDIN_FILENO, monitor);
    // End of input: leave at once, without "up" and without running destructors
    // under the event thread's feet. Lines already queued (the answer to a last
    // "checkPermission") still go out if the host takes them promptly; a host that
    // is not reading holds the end up by a quarter of a second at most.
    output.drainWithin(kEndOfInputDrainSeconds);
    _exit(0);
  });

  keyboard->run();
  _exit(0);
}
