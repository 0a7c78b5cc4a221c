"""Drives a helper executable the way the host application does: writes its
standard input, reads its standard output and standard error with deadlines."""

import json
import os
import select
import subprocess
import sys
import time

BUILD_DIR = os.environ.get("VESK_BUILD_DIR", os.path.join(os.path.dirname(__file__), "..", "build"))


def sanitized_build():
    """Whether the helpers were built with a sanitizer (AddressSanitizer, ThreadSanitizer...)."""
    try:
        with open(os.path.join(BUILD_DIR, "CMakeCache.txt")) as cache:
            return "-fsanitize=" in cache.read()
    except OSError:
        return False


SANITIZED = sanitized_build()


def time_limit(seconds):
    """How long a test allows for something the helpers promise to do within `seconds`
    (quit, end at the end of input or with the parent, rebuild, answer). On a plain build
    that is the promise itself. A sanitized build runs several times slower, often on a
    loaded machine, so there the test only holds it to happening: ten times the bound,
    never under 30 s. Speed is judged on plain builds and in the figures."""
    return max(10 * seconds, 30.0) if SANITIZED else seconds


def assert_took(test, took, seconds, what):
    """Prints how long `what` took and fails the test when that is over
    `time_limit(seconds)`."""
    limit = time_limit(seconds)
    print(f"\n{what}: {took * 1000:.0f} ms (limit {limit:g} s)", file=sys.stderr)
    test.assertLess(took, limit, what)


def thread_stacks(pid):
    """Every thread's stack in process `pid`, for a failure message: what a helper that
    went quiet was doing. Empty without gdb."""
    try:
        out = subprocess.run(["gdb", "-p", str(pid), "-batch", "-ex", "thread apply all bt"],
                             capture_output=True, text=True, timeout=60)
    except (OSError, subprocess.TimeoutExpired):
        return ""
    return out.stdout[-30000:]


# How long a read or a wait gives the helper when the test names no deadline.
WAIT_SECONDS = time_limit(5.0)


def executable(name):
    return os.path.join(BUILD_DIR, name)


class Stream:
    """Reads one pipe with deadlines, keeping what it read ahead for the next call."""

    def __init__(self, pipe):
        self._fd = pipe.fileno()
        self._buffer = b""

    def _fill_until(self, enough, timeout):
        deadline = time.monotonic() + timeout
        while not enough(self._buffer):
            left = deadline - time.monotonic()
            if left <= 0:
                return
            ready, _, _ = select.select([self._fd], [], [], left)
            if not ready:
                return
            chunk = os.read(self._fd, 65536)
            if not chunk:
                return
            self._buffer += chunk

    def read_line(self, timeout=WAIT_SECONDS):
        """The next line (bytes, without its line feed), or None at the deadline or at
        the end of the stream."""
        self._fill_until(lambda data: b"\n" in data, timeout)
        if b"\n" not in self._buffer:
            return None
        line, self._buffer = self._buffer.split(b"\n", 1)
        return line

    def read_bytes(self, count, timeout=WAIT_SECONDS):
        """Up to `count` bytes, fewer at the deadline or at the end of the stream."""
        self._fill_until(lambda data: len(data) >= count, timeout)
        data, self._buffer = self._buffer[:count], self._buffer[count:]
        return data


class Helper:
    def __init__(self, name, args=(), env=None, launcher=(), pass_fds=()):
        """`launcher`: a command that starts the helper (the rest of the vector) as
        its own child and hands it its standard streams; `proc` is then the launcher."""
        self.proc = subprocess.Popen(
            [*launcher, executable(name), *args],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            env=env if env is not None else os.environ.copy(),
            pass_fds=pass_fds,
        )
        self._out = Stream(self.proc.stdout)
        self._err = Stream(self.proc.stderr)

    def send(self, data):
        if isinstance(data, str):
            data = data.encode()
        self.proc.stdin.write(data)
        self.proc.stdin.flush()

    def send_line(self, obj):
        self.send((obj if isinstance(obj, str) else json.dumps(obj)) + "\n")

    def close_input(self):
        self.proc.stdin.close()

    def read_line(self, timeout=WAIT_SECONDS):
        """The next raw line of standard output, or None at the deadline or its end."""
        return self._out.read_line(timeout)

    def read_event(self, timeout=WAIT_SECONDS):
        line = self.read_line(timeout)
        return None if line is None else json.loads(line.decode("utf-8"))

    def read_error_line(self, timeout=WAIT_SECONDS):
        """The next raw line of standard error, or None at the deadline or its end.
        Helpers that answer on standard error (the audio tap) are read with this."""
        return self._err.read_line(timeout)

    def read_error_event(self, timeout=WAIT_SECONDS):
        line = self.read_error_line(timeout)
        return None if line is None else json.loads(line.decode("utf-8"))

    def read_output_bytes(self, count, timeout=WAIT_SECONDS):
        """Up to `count` bytes of standard output, fewer at the deadline or at its end."""
        return self._out.read_bytes(count, timeout)

    def wait(self, timeout=WAIT_SECONDS):
        return self.proc.wait(timeout=timeout)

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        for stream in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            try:
                stream.close()
            except (BrokenPipeError, OSError):
                pass
