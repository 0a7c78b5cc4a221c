"""End-to-end tests of vesk-input-monitor: the built executable, driven over its
standard streams as the host application drives it."""

import json
import os
import time
import unittest

from host import Helper

PERMISSION_PROBE = {"cmd": "checkPermission"}


def headless_env():
    env = os.environ.copy()
    env.pop("DISPLAY", None)
    return env


class InputMonitorProtocolTest(unittest.TestCase):
    def start(self):
        helper = Helper("vesk-input-monitor", env=headless_env())
        self.addCleanup(helper.kill)
        return helper

    def expect_greeting(self, helper):
        permission = helper.read_event()
        ready = helper.read_event()
        self.assertEqual(permission, {"type": "permission", "trusted": False})
        self.assertEqual(ready, {"type": "ready", "tapCreated": False})

    def expect_only_probe_answer(self, helper):
        """Sends a permission probe and checks that its answer is the very next line,
        so nothing was written for whatever came before it."""
        helper.send_line(PERMISSION_PROBE)
        self.assertEqual(helper.read_event(), {"type": "permission", "trusted": False})

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
        self.assertEqual(helper.read_line(), b'{"type":"permission","trusted":false}')
        self.assertEqual(helper.read_line(), b'{"type":"ready","tapCreated":false}')
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
            self.assertEqual(helper.wait(timeout=5), 0)
            self.assertLess(time.monotonic() - started, 2.0)

    def test_last_line_without_line_feed_still_runs(self):
        helper = self.start()
        self.expect_greeting(helper)
        helper.send(json.dumps(PERMISSION_PROBE))
        helper.close_input()
        self.assertEqual(helper.read_event(), {"type": "permission", "trusted": False})
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


if __name__ == "__main__":
    unittest.main()
