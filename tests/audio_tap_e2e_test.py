"""End-to-end tests of vesk-audio-tap: the built executable, driven over its standard
streams as the host application drives it. Commands go in as plain words; events come
back as JSON lines on standard error; standard output carries frames only. On a machine
without audio access "start" fails with the tap message and the process goes on."""

import ctypes
import json
import os
import re
import select
import subprocess
import sys
import time
import unittest

from host import WAIT_SECONDS, Helper, assert_took, executable, time_limit
from platform_choice import current as current_platform

PLATFORM = current_platform()

NAME = "vesk-audio-tap"
TAP_FAILURE = re.compile(r"^The system audio tap could not be created \(-?\d+\)\.$")
PERMISSION_PROBE = "checkPermission"

# No sound server at all: what a machine without audio access looks like, whatever
# session the tests run in.
NO_AUDIO_ENV = dict(os.environ, PULSE_SERVER="unix:/nonexistent/vesk-no-server")
# A Mac always has its sound server: there the permission answer is whatever this
# terminal was granted, asked once.
GRANTED = None if PLATFORM.is_mac else False


def expected_permission():
    global GRANTED
    if GRANTED is None:
        helper = Helper(NAME, env=NO_AUDIO_ENV)
        try:
            helper.send(b"checkPermission\n")
            GRANTED = helper.read_error_event(timeout=time_limit(10))["granted"]
        finally:
            helper.kill()
    return GRANTED


class AudioTapProtocolTest(unittest.TestCase):
    def start(self, *args):
        helper = Helper(NAME, args=args, env=NO_AUDIO_ENV)
        self.addCleanup(helper.kill)
        return helper

    def probe(self, helper):
        """Sends a permission probe and returns its answer, which must be the next line."""
        helper.send_line(PERMISSION_PROBE)
        event = helper.read_error_event()
        self.assertIsNotNone(event)
        self.assertEqual(event["event"], "permission", event)
        self.assertIsInstance(event["granted"], bool)
        return event

    def expect_end(self, helper, timeout=WAIT_SECONDS):
        self.assertEqual(helper.wait(timeout=timeout), 0)
        rest_of_errors = helper.proc.stderr.read()
        rest_of_output = helper.proc.stdout.read()
        return rest_of_errors, rest_of_output

    def test_unknown_commands_are_answered_with_their_trimmed_text(self):
        helper = self.start()
        cases = [
            (b"Start", "Unknown command: Start"),
            (b"start now", "Unknown command: start now"),
            (b"  STOP\t\r", "Unknown command: STOP"),
            (b"\xc2\xa0quit!\xe3\x80\x80", "Unknown command: quit!"),
            (b'{"cmd":"start"}', 'Unknown command: {"cmd":"start"}'),
            (b"say \"hi\"\\\ttab", 'Unknown command: say "hi"\\\ttab'),
        ]
        for line, message in cases:
            helper.send(line + b"\n")
            self.assertEqual(helper.read_error_event(), {"event": "error", "message": message}, line)
        helper.send_line("quit")
        errors, output = self.expect_end(helper)
        self.assertEqual((errors, output), (b"", b""))

    def test_events_are_compact_lines(self):
        helper = self.start()
        helper.send_line(PERMISSION_PROBE)
        granted = b"true" if expected_permission() else b"false"
        self.assertEqual(helper.read_error_line(), b'{"event":"permission","granted":' + granted + b"}")
        helper.send_line("nope")
        self.assertEqual(helper.read_error_line(), b'{"event":"error","message":"Unknown command: nope"}')

    def test_blank_lines_and_whitespace_get_no_answer(self):
        helper = self.start()
        helper.send(b"\n\n   \n\t\r\n\xe2\x80\xa8\n\x0b\x0c\n")
        self.probe(helper)  # the very next line is the probe's answer

    def test_whitespace_around_a_command_is_trimmed(self):
        helper = self.start()
        for line in (b" checkPermission", b"checkPermission\t", b"checkPermission\r", b"\xc2\x85checkPermission"):
            helper.send(line + b"\n")
            self.assertEqual(helper.read_error_event()["event"], "permission", line)

    @unittest.skipIf(PLATFORM.is_mac, "a Mac always has its sound server (capture runs in audio_capture_e2e_test)")
    def test_start_without_audio_access_fails_and_the_process_goes_on(self):
        for args in ((), ("--debug",), ("--exclude-pid", "1", "--debug")):
            helper = self.start(*args)
            helper.send_line("start")
            event = helper.read_error_event()
            self.assertEqual(event["event"], "error")
            self.assertRegex(event["message"], TAP_FAILURE)
            self.assertEqual(set(event), {"event", "message"})
            helper.send_line("stop")  # idle: no answer
            self.assertEqual(self.probe(helper)["granted"], False)
            helper.send_line("start")
            self.assertRegex(helper.read_error_event()["message"], TAP_FAILURE)
            helper.send_line("quit")
            errors, output = self.expect_end(helper)
            self.assertEqual((errors, output), (b"", b""), args)

    def test_watch_input_reports_at_once_and_once(self):
        helper = self.start("--exclude-pid", str(os.getpid()))
        helper.send_line("watchInput")
        event = helper.read_error_event()
        self.assertEqual(event["event"], "inputActivity")
        self.assertIsInstance(event["running"], bool)
        self.assertIsInstance(event["processes"], list)
        pids = {p["pid"] for p in event["processes"]}
        self.assertNotIn(helper.proc.pid, pids)
        self.assertNotIn(os.getpid(), pids)
        helper.send_line("watchInput")  # already watching: nothing
        helper.send_line("unwatchInput")
        helper.send_line("unwatchInput")
        self.probe(helper)
        helper.send_line("watchInput")  # watching again reports again
        self.assertEqual(helper.read_error_event()["event"], "inputActivity")

    def test_quit_ends_with_status_zero(self):
        helper = self.start()
        helper.send_line("watchInput")
        helper.read_error_event()
        # One write: a second one could find the process already gone (a broken pipe).
        helper.send("quit\n" + PERMISSION_PROBE + "\n")  # the line after "quit" is never read
        errors, output = self.expect_end(helper)
        self.assertEqual((errors, output), (b"", b""))

    def test_end_of_input_ends_with_status_zero(self):
        for pending in (b"", b"checkPermission\n", b"watchInput\n", b"\n\n"):
            helper = self.start()
            helper.send(pending)
            started = time.monotonic()
            helper.close_input()
            errors, output = self.expect_end(helper)
            assert_took(self, time.monotonic() - started, 3.0, "end of input -> exit")
            self.assertEqual(output, b"")
            expected = {b"": 0, b"\n\n": 0}.get(pending, 1)
            self.assertEqual(len(errors.splitlines()), expected, pending)

    def test_last_line_without_line_feed_still_runs(self):
        helper = self.start()
        helper.send(b"checkPermission")
        helper.close_input()
        self.assertEqual(helper.read_error_event(), {"event": "permission", "granted": expected_permission()})
        errors, output = self.expect_end(helper)
        self.assertEqual((errors, output), (b"", b""))
        helper = self.start()
        helper.send(b"quit")
        helper.close_input()
        self.assertEqual(self.expect_end(helper), (b"", b""))

    def test_commands_are_handled_in_order(self):
        helper = self.start()
        lines = []
        for i in range(200):
            lines.append(f"bad{i}".encode() if i % 2 else b"checkPermission")
        helper.send(b"\n".join(lines) + b"\n")
        for i in range(200):
            event = helper.read_error_event()
            if i % 2:
                self.assertEqual(event, {"event": "error", "message": f"Unknown command: bad{i}"})
            else:
                self.assertEqual(event["event"], "permission")

    def test_arguments_never_stop_the_process(self):
        argument_lists = [
            ("--exclude-pid",),
            ("--exclude-pid", "--debug"),
            ("--exclude-pid", "2147483648", "--exclude-pid", "-2147483648"),
            ("--exclude-pid=5", "--DEBUG", "stray", ""),
            ("--exclude-pid", "\u00e9", "--exclude-pid", "+0000042"),
        ]
        for args in argument_lists:
            helper = self.start(*args)
            self.probe(helper)
            helper.close_input()
            self.assertEqual(helper.wait(), 0, args)

    def test_host_closing_its_reading_ends_is_survived(self):
        helper = self.start()
        helper.proc.stderr.close()
        helper.proc.stdout.close()
        for _ in range(50):
            helper.send_line("nonsense")
        time.sleep(0.2)
        self.assertIsNone(helper.proc.poll())
        helper.send_line("quit")
        self.assertEqual(helper.wait(), 0)


class AudioTapBadInputTest(unittest.TestCase):
    def start(self):
        helper = Helper(NAME, env=NO_AUDIO_ENV)
        self.addCleanup(helper.kill)
        return helper

    def expect_one_error(self, helper, message):
        line = helper.read_error_line(timeout=time_limit(20))
        self.assertIsNotNone(line)
        event = json.loads(line.decode("utf-8"))  # valid UTF-8 and valid JSON
        self.assertEqual(event, {"event": "error", "message": message})

    def test_arbitrary_bytes_get_exactly_one_error_each(self):
        helper = self.start()
        cases = [
            (b"\xff\xfe", "Unknown command: \ufffd\ufffd"),
            (b"st\xc3art", "Unknown command: st\ufffdart"),
            (b"start\x00", "Unknown command: start\x00"),
            (b"\x00", "Unknown command: \x00"),
            (b"\x1b[31mred", "Unknown command: \x1b[31mred"),
            (b"\xed\xa0\x80", "Unknown command: \ufffd\ufffd\ufffd"),
            (b"\xf0\x9f\x8e\xa4 mic", "Unknown command: \U0001f3a4 mic"),
        ]
        for line, message in cases:
            helper.send(line + b"\n")
            self.expect_one_error(helper, message)
        helper.send(b"checkPermission\n")
        self.assertEqual(helper.read_error_event()["event"], "permission")

    def test_very_long_lines(self):
        helper = self.start()
        long_line = b"x" * (4 << 20)
        helper.send(long_line + b"\n")
        self.expect_one_error(helper, "Unknown command: " + "x" * (4 << 20))
        helper.send(b"checkPermission\n")
        self.assertEqual(helper.read_error_event()["event"], "permission")

    def test_endless_line_without_line_feed_does_not_hang_the_process(self):
        helper = self.start()
        chunk = b"y" * (1 << 20)
        for _ in range(24):
            helper.send(chunk)
        helper.send(b"\ncheckPermission\n")
        self.assertEqual(helper.read_error_event(timeout=time_limit(20))["event"], "permission")
        self.assertIsNone(helper.proc.poll())


PR_SET_CHILD_SUBREAPER = 36

INTERMEDIATE = """
import subprocess, sys, time
child = subprocess.Popen([sys.argv[1]])
sys.stdout.write(str(child.pid) + "\\n")
sys.stdout.flush()
time.sleep(60)
"""


class AudioTapParentExitTest(unittest.TestCase):
    """The helper's parent exits while the helper's standard input stays open: the
    helper must notice and end with status 0. On Linux this test process becomes a
    child subreaper so that it can collect the orphaned helper's exit status; on a Mac
    the orphan's status goes to launchd, and a kqueue sees only that it ended."""

    def setUp(self):
        prctl = getattr(ctypes.CDLL(None, use_errno=True), "prctl", None)
        self.subreaper = prctl is not None and prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == 0
        if not self.subreaper and not hasattr(select, "kqueue"):
            self.skipTest("cannot become a child subreaper")

    def wait_for(self, pid, timeout):
        """The helper's exit status, or None where only its end can be seen."""
        if not self.subreaper:
            watch = select.kqueue()
            try:
                ended = watch.control([select.kevent(pid, filter=select.KQ_FILTER_PROC, fflags=select.KQ_NOTE_EXIT,
                                                     flags=select.KQ_EV_ADD | select.KQ_EV_ONESHOT)], 1, timeout)
            except ProcessLookupError:
                return None  # already gone
            finally:
                watch.close()
            if ended:
                return None
            os.kill(pid, 9)
            self.fail("the helper did not end after its parent exited")
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            done, status = os.waitpid(pid, os.WNOHANG)
            if done == pid:
                return status
            time.sleep(0.02)
        os.kill(pid, 9)
        os.waitpid(pid, 0)
        self.fail("the helper did not end after its parent exited")

    def test_parent_exit_ends_with_status_zero(self):
        parent = subprocess.Popen(
            [sys.executable, "-c", INTERMEDIATE, executable(NAME)],
            env=NO_AUDIO_ENV,
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
        )
        self.addCleanup(lambda: parent.poll() is None and parent.kill())
        helper_pid = int(parent.stdout.readline())
        # The helper shares the parent's pipes: it answers on the same standard error.
        parent.stdin.write(b"watchInput\n")
        parent.stdin.flush()
        self.assertEqual(json.loads(parent.stderr.readline())["event"], "inputActivity")
        parent.kill()
        parent.wait()
        status = self.wait_for(helper_pid, timeout=time_limit(5))
        if status is not None:
            self.assertTrue(os.WIFEXITED(status))
            self.assertEqual(os.WEXITSTATUS(status), 0)
        parent.stdin.close()  # still open until here: only the parent's exit ended it
        parent.stdout.close()
        parent.stderr.close()


if __name__ == "__main__":
    unittest.main()
