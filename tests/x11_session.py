"""A private X server for tests (Xvfb), keys typed into it through XTest, and the
plain key-logging client that stands in for the focused application."""

import ctypes
import os
import select
import struct
import subprocess
import time

from host import BUILD_DIR, Stream, time_limit

_x11 = ctypes.CDLL("libX11.so.6")
_xtst = ctypes.CDLL("libXtst.so.6")
_x11.XOpenDisplay.restype = ctypes.c_void_p
_x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
_x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
_x11.XStringToKeysym.restype = ctypes.c_ulong
_x11.XStringToKeysym.argtypes = [ctypes.c_char_p]
_x11.XKeysymToKeycode.restype = ctypes.c_ubyte
_x11.XKeysymToKeycode.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
_x11.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
_x11.XkbLockModifiers.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_uint, ctypes.c_uint]
_xtst.XTestFakeKeyEvent.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_int, ctypes.c_ulong]


class XServer:
    """Xvfb on a free display number; `env` names it for child processes. With
    `auth_file`, the server admits only clients that show a fresh cookie written
    there, and this test process does not connect."""

    def __init__(self, extra_args=(), auth_file=None):
        """`extra_args` go to Xvfb as they are ("-r" turns key autorepeat off)."""
        read_end, write_end = os.pipe()
        auth = []
        if auth_file:
            _write_cookie(auth_file)
            auth = ["-auth", auth_file]
        self.proc = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-nolisten", "tcp", "-screen", "0", "640x480x24", *extra_args,
             *auth],
            pass_fds=(write_end,),
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
        )
        os.close(write_end)
        number = b""
        deadline = time.monotonic() + 10
        while not number.endswith(b"\n") and time.monotonic() < deadline:
            ready, _, _ = select.select([read_end], [], [], 0.5)
            if ready:
                chunk = os.read(read_end, 16)
                if not chunk:
                    break
                number += chunk
        os.close(read_end)
        if not number.strip():
            self.stop()
            raise RuntimeError("Xvfb did not start")
        self.display = ":" + number.decode().strip()
        self.env = dict(os.environ, DISPLAY=self.display)
        self._dpy = None if auth_file else _x11.XOpenDisplay(self.display.encode())

    def keycode(self, keysym_name):
        return _x11.XKeysymToKeycode(self._dpy, _x11.XStringToKeysym(keysym_name.encode()))

    def key(self, key, down):
        """Types a key, named by its keysym or given as an X keycode."""
        code = key if isinstance(key, int) else self.keycode(key)
        _xtst.XTestFakeKeyEvent(self._dpy, code, 1 if down else 0, 0)
        _x11.XSync(self._dpy, 0)

    def lock_modifiers(self, mask):
        """Locks the X modifier bits of `mask`, as a locking key of the keymap would."""
        _x11.XkbLockModifiers(self._dpy, XKB_USE_CORE_KBD, mask, mask)
        _x11.XSync(self._dpy, 0)

    def setxkbmap(self, *args):
        subprocess.run(["setxkbmap", *args], env=self.env, check=True, timeout=20,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def press(self, *names):
        for name in names:
            self.key(name, True)

    def release(self, *names):
        for name in names:
            self.key(name, False)

    def tap(self, *names):
        """Presses the keys in order and releases them in reverse order."""
        self.press(*names)
        self.release(*reversed(names))

    def stop(self):
        # The test's own connection is left unused from here: Xlib ends a process
        # whose server has gone at its next call.
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


CONTROL_MASK = 1 << 2
XKB_USE_CORE_KBD = 0x100


def _write_cookie(path):
    """An Xauthority file with one MIT-MAGIC-COOKIE-1 for every display number."""
    def field(data):
        return struct.pack(">H", len(data)) + data

    family_wild = 65535
    with open(path, "wb") as f:
        f.write(struct.pack(">H", family_wild) + field(b"") + field(b"")
                + field(b"MIT-MAGIC-COOKIE-1") + field(os.urandom(16)))


def probe(server, *args):
    """Asks x11_key_client whether a grab is held by another client: "taken" or "free"."""
    out = subprocess.run([os.path.join(BUILD_DIR, "tests", "x11_key_client"), *args], env=server.env,
                         capture_output=True, text=True, timeout=10)
    return out.stdout.strip()


def wait_for_grab(server, state, *args, timeout=time_limit(10.0)):
    """Waits until the probe answers `state` ("taken" or "free")."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if probe(server, *args) == state:
            return True
        time.sleep(0.02)
    return False


class KeyClient:
    """The focused application: a window that logs every key event it receives."""

    def __init__(self, server, *args, program=None):
        """Runs x11_key_client with `args` (default: log), or `program` (an argv list)."""
        argv = program or [os.path.join(BUILD_DIR, "tests", "x11_key_client"), *(args or ("log",))]
        self.proc = subprocess.Popen(argv, stdout=subprocess.PIPE, env=server.env)
        self._out = Stream(self.proc.stdout)

    def read_line(self, timeout=time_limit(5.0)):
        line = self._out.read_line(timeout)
        return None if line is None else line.decode()

    def lines_until(self, marker, timeout=time_limit(5.0)):
        """Every line up to and including the first that begins with `marker`."""
        lines = []
        while True:
            line = self.read_line(timeout)
            if line is None:
                raise AssertionError(f"no {marker!r} from the focused client; saw {lines}")
            lines.append(line)
            if line.startswith(marker):
                return lines

    def keys_until(self, marker, timeout=time_limit(5.0)):
        """As lines_until, without the modifier states: "press NAME"."""
        return [line.rsplit(" ", 1)[0] for line in self.lines_until(marker, timeout)]

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self.proc.stdout.close()
