"""Fault tests: the host dies under a capturing audio tap, the host closes standard
input mid-capture, for both helpers. Each must end with status 0, promptly. The time
the audio tap takes to notice its parent's death is printed as a figure."""

import ctypes
import os
import select
import subprocess
import sys
import time
import unittest

from audio_session import FrameReader, Player, sound_server
from host import Helper, executable

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


class ParentDeathTest(unittest.TestCase):
    def setUp(self):
        libc = ctypes.CDLL(None, use_errno=True)
        if libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
            self.skipTest("cannot become a child subreaper")
        self.server = sound_server()
        self.addCleanup(self.server.close)
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
            exited = os.pidfd_open(helper_pid)
            killed = time.monotonic()
            host.kill()
            host.wait()
            readable, _, _ = select.select([exited], [], [], 5)
            took = time.monotonic() - killed
            os.close(exited)
            self.assertTrue(readable, "the helper outlived its host")
            _, status = os.waitpid(helper_pid, 0)
            self.assertTrue(os.WIFEXITED(status))
            self.assertEqual(os.WEXITSTATUS(status), 0)
            figures.append(took * 1000)
            host.stdout.close()
            host.stderr.close()
        print(f"\nhost SIGKILL -> audio tap exit: {', '.join(f'{ms:.1f}' for ms in figures)} ms", file=sys.stderr)
        # The target is 100 ms; a loaded test machine gets ten times that.
        self.assertLess(max(figures), 1000)


class InputClosedTest(unittest.TestCase):
    def test_end_of_input_ends_a_capturing_audio_tap(self):
        server = sound_server()
        self.addCleanup(server.close)
        helper = Helper("vesk-audio-tap", env=server.env)
        self.addCleanup(helper.kill)
        frames = FrameReader(helper)
        helper.send(b"start\nwatchInput\n")
        self.assertEqual(helper.read_error_event()["event"], "ready")
        self.assertTrue(frames.wait_for_frames(2))
        started = time.monotonic()
        helper.close_input()
        self.assertEqual(helper.wait(timeout=5), 0)
        self.assertLess(time.monotonic() - started, 2.0)
        frames.join()
        # The last frame is whole: the remainder was flushed before the end.
        self.assertEqual(frames.leftover(), b"")
        self.assertFalse(frames.malformed)

    def test_end_of_input_ends_a_holding_input_monitor(self):
        from x11_session import XServer
        x = XServer()
        self.addCleanup(x.stop)
        helper = Helper("vesk-input-monitor", env=x.env)
        self.addCleanup(helper.kill)
        helper.read_event(), helper.read_event()
        helper.send_line({"cmd": "setBinding", "binding": {"mainKey": 49, "modifiers": []}})
        time.sleep(0.3)
        x.press("space")
        self.assertEqual(helper.read_event(), {"type": "down"})
        started = time.monotonic()
        helper.close_input()
        self.assertEqual(helper.wait(timeout=5), 0)
        self.assertLess(time.monotonic() - started, 1.0)
        self.assertEqual(helper.proc.stdout.read(), b"")  # no "up" on the way out
        x.release("space")


if __name__ == "__main__":
    unittest.main()
