// A plain X client for the end-to-end tests, standing in for the application that
// has the input focus.
//   x11_key_client log          maps a window, takes the focus, prints "ready", then
//                               one line per key event it receives: "press NAME STATE"
//                               or "release NAME STATE" (NAME is the keysym's name,
//                               STATE the modifier state the event carries, in decimal).
//   x11_key_client grab KEYSYM  grabs KEYSYM with Control and any modifiers on the root
//                               window, prints "grabbed", then waits to be killed.
//   x11_key_client probe KEYSYM MASK
//                               prints "taken" when another client holds a grab of KEYSYM
//                               with modifier MASK (decimal X state bits), else "free".
//   x11_key_client probe-keyboard
//                               prints "taken" when another client holds the keyboard.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int logKeys(Display* display) {
  Window window = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 200, 100, 0, 0, 0);
  XSelectInput(display, window, KeyPressMask | KeyReleaseMask | StructureNotifyMask);
  XMapWindow(display, window);
  for (;;) {
    XEvent event;
    XNextEvent(display, &event);
    if (event.type == MapNotify) break;
  }
  XSetInputFocus(display, window, RevertToParent, CurrentTime);
  XSync(display, False);
  std::printf("ready\n");
  std::fflush(stdout);
  for (;;) {
    XEvent event;
    XNextEvent(display, &event);
    if (event.type != KeyPress && event.type != KeyRelease) continue;
    const char* name = XKeysymToString(XLookupKeysym(&event.xkey, 0));
    std::printf("%s %s %u\n", event.type == KeyPress ? "press" : "release", name ? name : "?", event.xkey.state);
    std::fflush(stdout);
  }
}

int grabKey(Display* display, const char* keysymName) {
  KeyCode keycode = XKeysymToKeycode(display, XStringToKeysym(keysymName));
  for (unsigned state = 0; state < 256; ++state) {
    if (state & ControlMask) {
      XGrabKey(display, keycode, state, DefaultRootWindow(display), False, GrabModeAsync, GrabModeAsync);
    }
  }
  XSync(display, False);
  std::printf("grabbed\n");
  std::fflush(stdout);
  for (;;) {
    XEvent event;
    XNextEvent(display, &event);
  }
}

bool grabRefused = false;

int noteRefusal(Display*, XErrorEvent* error) {
  if (error->error_code == BadAccess) grabRefused = true;
  return 0;
}

int probeKey(Display* display, const char* keysymName, unsigned mask) {
  XSetErrorHandler(noteRefusal);
  KeyCode keycode = XKeysymToKeycode(display, XStringToKeysym(keysymName));
  Window root = DefaultRootWindow(display);
  XGrabKey(display, keycode, mask, root, False, GrabModeAsync, GrabModeAsync);
  XSync(display, False);
  if (!grabRefused) XUngrabKey(display, keycode, mask, root);
  XSync(display, False);
  std::printf("%s\n", grabRefused ? "taken" : "free");
  std::fflush(stdout);  // before any exit-time report of a sanitizer build
  XCloseDisplay(display);
  return 0;
}

int probeKeyboard(Display* display) {
  int result = XGrabKeyboard(display, DefaultRootWindow(display), False, GrabModeAsync, GrabModeAsync, CurrentTime);
  if (result == GrabSuccess) XUngrabKeyboard(display, CurrentTime);
  XSync(display, False);
  std::printf("%s\n", result == AlreadyGrabbed ? "taken" : "free");
  std::fflush(stdout);
  XCloseDisplay(display);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Display* display = XOpenDisplay(nullptr);
  if (!display) return 2;
  if (argc == 2 && std::strcmp(argv[1], "log") == 0) return logKeys(display);
  if (argc == 3 && std::strcmp(argv[1], "grab") == 0) return grabKey(display, argv[2]);
  if (argc == 4 && std::strcmp(argv[1], "probe") == 0) {
    return probeKey(display, argv[2], static_cast<unsigned>(std::strtoul(argv[3], nullptr, 10)));
  }
  if (argc == 2 && std::strcmp(argv[1], "probe-keyboard") == 0) return probeKeyboard(display);
  return 2;
}
