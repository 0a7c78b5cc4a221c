"""End-to-end tests of vesk-input-monitor: the built executable, driven over its
standard streams as the host application drives it. On Linux it runs without a display
(no keyboard access); on a Mac it meets the real event tap, whose permission answer is
whatever Accessibility grants this terminal, and the secure input report is checked with
a process that turns secure event input on."""

import json
import os
import subprocess
import sys
import time
import unittest

from host import Helper, assert_took, time_limit
from platform_choice import current as current_platform

PLATFORM = current_platform()

PERMISSION_PROBE = {"cmd": "checkPermission"}


def headless_env():
    env = os.environ.copy()
    env.pop("DISPLAY", None)
    return env


class InputMonitorProtocolTest(unittest.TestCase):
    # Without a display nothing is trusted; on a Mac, the first greeting tells.
    trusted = None if PLATFORM.is_mac else False

    def start(self):
        helper = Helper("vesk-input-monitor", env=headless_env())
        self.addCleanup(helper.kill)
        return helper

    def expect_greeting(self, helper):
        permission = helper.read_event()
        ready = helper.read_event()
        if InputMonitorProtocolTest.trusted is None:
            InputMonitorProtocolTest.trusted = permission.get("trusted")
        self.assertEqual(permission, {"type": "permission", "trusted": self.trusted})
        # A tap needs the permission; with it, a Mac's tap is made.
        self.assertEqual(ready, {"type": "ready", "tapCreated": self.trusted})

    def expect_only_probe_answer(self, helper):
        """Sends a permission probe and checks that its answer is the very next line,
        so nothing was written for whatever came before it."""
        helper.send_line(PERMISSION_PROBE)
        self.assertEqual(helper.read_event(), {"type": "permission", "trusted": self.trusted})

    def test_greeting_comes_first_even_with_commands_waiting(self):
        helper = self.start()
        helper.send_line(PERMISSION_PROBE)
        helper.send_line({"cmd": "setBinding", "binding": {"mainKey": 49, "modifiers": ["control"]}})
        helper.send_line(PERMISSION_PROBE)
        self.expect_greeting(helper)
        self.assertEqual(helper.read_event()["type"], "permission")
        self.assertEqual(helper.read_event()["type"], "permission")

    def test_lines_are_compact_json(self):
        helper = self.start()
        first = helper.read_line()
        if InputMonitorProtocolTest.trusted is None:
            InputMonitorProtocolTest.trusted = json.loads(first)["trusted"]
        word = b"true" if self.trusted else b"false"
        self.assertEqual(first, b'{"type":"permission","trusted":' + word + b"}")
        self.assertEqual(helper.read_line(), b'{"type":"ready","tapCreated":' + word + b"}")
        if not PLATFORM.is_mac:  # on a Mac this would show the system's prompt
            helper.send_line({"cmd": "requestPermission"})
            self.assertEqual(helper.read_line(), b'{"type":"permission","trusted":false}')

    def test_garbage_produces_nothing(self):
        helper = self.start()
        self.expect_greeting(helper)
        garbage = [
            b"",
            b"   ",
            b"not json",
            b"[]",
            b"42",
            b"{}",
            b'{"cmd":"quit"}',
            b'{"cmd":"CheckPermission"}',
            b'{"cmd":5}',
            b'{"cmd":"setMode"}',
            b'{"cmd":"setMode","mode":7}',
            b'{"cmd":"checkPermission"',
            b'{"cmd":"setMode","mode":"\xff\xfe"}',
            b'\xc3\x28\xa0\xa1',
            b'{"cmd":"checkPermission"}\x00',
            b"\x00\x00\x00",
            b"[" * 100000,
            b'{"cmd":"setBinding","binding":{"mainKey":49}}',
            b'{"cmd":"setBinding"}',
            b'{"cmd":"setMode","mode":"record"}',
        ]
        for line in garbage:
            helper.send(line + b"\n")
        self.expect_only_probe_answer(helper)

    def test_megabytes_without_a_line_feed(self):
        helper = self.start()
        self.expect_greeting(helper)
        chunk = b"x" * (1 << 20)
        for _ in range(24):  # beyond what any command needs
            helper.send(chunk)
        helper.send(b"\n")
        self.expect_only_probe_answer(helper)
        self.assertIsNone(helper.proc.poll())

    def test_end_of_input_exits_zero_at_once(self):
        for pending in ([], [PERMISSION_PROBE], [{"cmd": "setBinding", "binding": {"mainKey": 49}}]):
            helper = self.start()
            self.expect_greeting(helper)
            for command in pending:
                helper.send_line(command)
            started = time.monotonic()
            helper.close_input()
            self.assertEqual(helper.wait(timeout=time_limit(5)), 0)
            assert_took(self, time.monotonic() - started, 2.0, "end of input -> exit")

    def test_last_line_without_line_feed_still_runs(self):
        helper = self.start()
        self.expect_greeting(helper)
        helper.send(json.dumps(PERMISSION_PROBE))
        helper.close_input()
        self.assertEqual(helper.read_event(), {"type": "permission", "trusted": self.trusted})
        self.assertEqual(helper.wait(), 0)
        self.assertEqual(helper.proc.stdout.read(), b"")

    def test_nothing_on_standard_error(self):
        helper = self.start()
        self.expect_greeting(helper)
        helper.send(b"garbage\n" + json.dumps(PERMISSION_PROBE).encode() + b"\n")
        helper.read_event()
        helper.close_input()
        self.assertEqual(helper.wait(), 0)
        self.assertEqual(helper.proc.stderr.read(), b"")

    def test_host_closing_its_reading_end_is_survived(self):
        helper = self.start()
        self.expect_greeting(helper)
        helper.proc.stdout.close()
        for _ in range(50):
            helper.send_line(PERMISSION_PROBE)
        time.sleep(0.2)
        self.assertIsNone(helper.proc.poll())
        helper.close_input()
        self.assertEqual(helper.wait(), 0)


# Holds secure event input on, as a password field does, until its input closes.
SECURE_INPUT_HOLDER = """
import ctypes, sys
carbon = ctypes.CDLL("/System/Library/Frameworks/Carbon.framework/Carbon")
carbon.EnableSecureEventInput()
sys.stdout.write("on\\n")
sys.stdout.flush()
sys.stdin.read()
carbon.DisableSecureEventInput()
"""


@unittest.skipUnless(PLATFORM.is_mac, "secure event input is a macOS state")
class SecureInputTest(unittest.TestCase):
    def test_secure_input_is_reported_when_it_turns_on_and_off(self):
        import ctypes
        carbon = ctypes.CDLL("/System/Library/Frameworks/Carbon.framework/Carbon")
        if carbon.IsSecureEventInputEnabled():
            self.skipTest("secure event input is already on (a password field or terminal holds it)")
        helper = Helper("vesk-input-monitor")
        self.addCleanup(helper.kill)
        helper.read_event(), helper.read_event()
        helper.send_line({"cmd": "setBinding", "binding": {"mainKey": 49, "modifiers": ["control"]}})
        self.assertIsNone(helper.read_event(timeout=2.5))  # off from the start: nothing said
        holder = subprocess.Popen([sys.executable, "-c", SECURE_INPUT_HOLDER], stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE)
        self.addCleanup(lambda: holder.poll() is None and holder.kill())
        self.assertEqual(holder.stdout.readline(), b"on\n")
        self.assertEqual(helper.read_event(timeout=time_limit(5)), {"type": "secureInput", "enabled": True})
        holder.stdin.close()
        holder.wait(timeout=time_limit(5))
        self.assertEqual(helper.read_event(timeout=time_limit(5)), {"type": "secureInput", "enabled": False})

if __name__ == "__main__":
    unittest.main()
