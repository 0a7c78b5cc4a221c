"""Fault tests: the host dies under a capturing audio tap, the host closes standard
input mid-capture, for both helpers. Each must end with status 0, promptly. The time
the audio tap takes to notice its parent's death is printed as a figure. On a Mac they
run against the real default devices (skipped without the permission to record system
audio); an orphan's exit status goes to launchd there, so only its prompt end is seen,
and the input monitor's hold needs a person's key press, so that test is Linux's."""

import ctypes
import os
import select
import subprocess
import sys
import time
import unittest

from audio_session import PLATFORM, FrameReader, Player, skip_without_audio_access, sound_server
from host import Helper, assert_took, executable, time_limit

PR_SET_CHILD_SUBREAPER = 36

# Starts the helper as its own child, says "start", reports the helper's pid, then
# waits to be killed. Its child inherits the pipes, so only the parent's death can end it.
HOST = """
import subprocess, sys, time
child = subprocess.Popen([sys.argv[1]], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL)
child.stdin.write(b"start\\n")
child.stdin.flush()
sys.stdout.write(str(child.pid) + "\\n")
sys.stdout.flush()
time.sleep(600)
"""


def wait_for_exit(pid, timeout):
    """Whether the process ended within the timeout: a pidfd on Linux, a kqueue on a Mac."""
    if hasattr(os, "pidfd_open"):
        exited = os.pidfd_open(pid)
        try:
            readable, _, _ = select.select([exited], [], [], timeout)
        finally:
            os.close(exited)
        return bool(readable)
    watch = select.kqueue()
    try:
        return bool(watch.control([select.kevent(pid, filter=select.KQ_FILTER_PROC, fflags=select.KQ_NOTE_EXIT,
                                                 flags=select.KQ_EV_ADD | select.KQ_EV_ONESHOT)], 1, timeout))
    except ProcessLookupError:
        return True  # already gone
    finally:
        watch.close()


class ParentDeathTest(unittest.TestCase):
    def setUp(self):
        prctl = getattr(ctypes.CDLL(None, use_errno=True), "prctl", None)
        # Where the test cannot adopt the orphan, it sees only that the helper ended.
        self.subreaper = prctl is not None and prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == 0
        if not self.subreaper and not PLATFORM.is_mac:
            self.skipTest("cannot become a child subreaper")
        self.server = sound_server()
        self.addCleanup(self.server.close)
        skip_without_audio_access(self, self.server)
        player = Player(self.server, 440)
        self.addCleanup(player.stop)

    def test_sigkill_of_the_host_ends_a_capturing_helper_at_once(self):
        figures = []
        for _ in range(5):
            host = subprocess.Popen([sys.executable, "-c", HOST, executable("vesk-audio-tap")], env=self.server.env,
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            helper_pid = int(host.stdout.readline())
            ready = host.stderr.readline()
            self.assertIn(b'"ready"', ready)
            killed = time.monotonic()
            host.kill()
            host.wait()
            ended = wait_for_exit(helper_pid, time_limit(5))
            took = time.monotonic() - killed
            self.assertTrue(ended, "the helper outlived its host")
            if self.subreaper:
                _, status = os.waitpid(helper_pid, 0)
                self.assertTrue(os.WIFEXITED(status))
                self.assertEqual(os.WEXITSTATUS(status), 0)
            figures.append(took * 1000)
            host.stdout.close()
            host.stderr.close()
        print(f"\nhost SIGKILL -> audio tap exit: {', '.join(f'{ms:.1f}' for ms in figures)} ms", file=sys.stderr)
        # The target is 100 ms; a loaded test machine gets ten times that.
        assert_took(self, max(figures) / 1000, 1.0, "the slowest of the five")


class InputClosedTest(unittest.TestCase):
    def test_end_of_input_ends_a_capturing_audio_tap(self):
        server = sound_server()
        self.addCleanup(server.close)
        skip_without_audio_access(self, server)
        helper = Helper("vesk-audio-tap", env=server.env)
        self.addCleanup(helper.kill)
        frames = FrameReader(helper)
        helper.send(b"start\nwatchInput\n")
        self.assertEqual(helper.read_error_event()["event"], "ready")
        self.assertTrue(frames.wait_for_frames(2))
        started = time.monotonic()
        helper.close_input()
        self.assertEqual(helper.wait(timeout=time_limit(5)), 0)
        assert_took(self, time.monotonic() - started, 2.0, "end of input -> audio tap exit")
        frames.join()
        # The last frame is whole: the remainder was flushed before the end.
        self.assertEqual(frames.leftover(), b"")
        self.assertFalse(frames.malformed)

    @unittest.skipIf(PLATFORM.is_mac, "a hold on a Mac needs a person to press the key")
    def test_end_of_input_ends_a_holding_input_monitor(self):
        from x11_session import XServer, wait_for_grab
        x = XServer()
        self.addCleanup(x.stop)
        helper = Helper("vesk-input-monitor", env=x.env)
        self.addCleanup(helper.kill)
        helper.read_event(), helper.read_event()
        helper.send_line({"cmd": "setBinding", "binding": {"mainKey": 49, "modifiers": []}})
        self.assertTrue(wait_for_grab(x, "taken", "probe", "space", "0"), "key grab not in place")
        x.press("space")
        self.assertEqual(helper.read_event(), {"type": "down"})
        started = time.monotonic()
        helper.close_input()
        self.assertEqual(helper.wait(timeout=time_limit(5)), 0)
        assert_took(self, time.monotonic() - started, 1.0, "end of input -> input monitor exit")
        self.assertEqual(helper.proc.stdout.read(), b"")  # no "up" on the way out
        x.release("space")


if __name__ == "__main__":
    unittest.main()
