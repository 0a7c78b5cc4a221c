// The floor for key latency on X11: a bare client that selects XInput2 raw key
// presses on the root window and prints one line per press, as early as a client can
// learn of a key. The latency benchmark runs it beside the input monitor.
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>

#include <cstdio>

int main() {
  Display* display = XOpenDisplay(nullptr);
  if (!display) return 2;
  int opcode = 0, firstEvent = 0, firstError = 0;
  if (!XQueryExtension(display, "XInputExtension", &opcode, &firstEvent, &firstError)) return 2;
  int major = 2, minor = 2;
  XIQueryVersion(display, &major, &minor);
  unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
  XISetMask(bits, XI_RawKeyPress);
  XIEventMask mask{XIAllMasterDevices, static_cast<int>(sizeof bits), bits};
  XISelectEvents(display, DefaultRootWindow(display), &mask, 1);
  XSync(display, False);
  std::printf("ready\n");
  std::fflush(stdout);
  for (;;) {
    XEvent event;
    XNextEvent(display, &event);
    if (event.xcookie.type == GenericEvent && event.xcookie.extension == opcode &&
        XGetEventData(display, &event.xcookie)) {
      if (event.xcookie.evtype == XI_RawKeyPress) {
        std::printf("press %d\n", static_cast<const XIRawEvent*>(event.xcookie.data)->detail);
        std::fflush(stdout);
      }
      XFreeEventData(display, &event.xcookie);
    }
  }
}
