"""End-to-end tests of a host that stops reading: both helpers must keep their memory
bounded, stay responsive to the commands that end them, and hand a host that reads
again whole frames and lines, in order."""

import array
import fcntl
import json
import os
import struct
import sys
import termios
import threading
import time
import unittest

from audio_session import FrameReader, sound_server
from host import SANITIZED, Helper, assert_took, time_limit

FULL_FRAME = 4800 * 2
MIB = 1024 * 1024


# The memory bounds are the product's, judged on plain builds: a sanitizer's allocator
# keeps freed memory in quarantine. A sanitized build is still held to ending cleanly,
# with whole frames and lines.
QUIT_SECONDS = 1.0


def rss_bytes(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    return 0


def frame_sizes(data):
    """The payload sizes of the frames in `data`; fails unless it is whole frames."""
    sizes = []
    while data:
        if len(data) < 4:
            raise AssertionError(f"{len(data)} bytes of a torn prefix at the end")
        (length,) = struct.unpack("<I", data[:4])
        if len(data) < 4 + length:
            raise AssertionError(f"a torn frame at the end: {len(data) - 4} of {length} bytes")
        sizes.append(length)
        data = data[4 + length:]
    return sizes


def feed(helper, data):
    """Writes `data` to the helper's standard input on a thread of its own (the write
    blocks until the helper has read most of it); returns the thread."""
    def run():
        try:
            helper.send(data)
        except (BrokenPipeError, OSError):
            pass
    writer = threading.Thread(target=run, daemon=True)
    writer.start()
    return writer


def wait_until_read(helper, timeout):
    """Waits until the helper has taken every byte of its standard input out of the pipe
    (what a writer's return does not say: the pipe holds up to 64 KiB more)."""
    deadline = time.monotonic() + timeout
    pending = array.array("i", [1])
    while time.monotonic() < deadline:
        fcntl.ioctl(helper.proc.stdin.fileno(), termios.FIONREAD, pending)
        if pending[0] == 0:
            return True
        time.sleep(0.01)
    return False


class StalledHostTest(unittest.TestCase):
    def setUp(self):
        self.server = sound_server()
        self.addCleanup(self.server.close)

    def start_helper(self, *args):
        helper = Helper("vesk-audio-tap", args=args, env=self.server.env)
        self.addCleanup(helper.kill)
        return helper

    def timed_end(self, helper, end):
        """Does `end` (a command, closing input) and returns how long the helper took
        to exit; it must exit with status 0."""
        began = time.monotonic()
        end()
        status = helper.wait(timeout=time_limit(10))
        took = time.monotonic() - began
        self.assertEqual(status, 0)
        return took

    def test_a_host_that_reads_nothing_for_20_s_costs_little_memory_and_can_still_quit(self):
        helper = self.start_helper()
        helper.send(b"start\n")
        self.assertEqual(helper.read_error_event(timeout=time_limit(10))["event"], "ready")
        # From here on nothing is read, on either stream, until the helper has ended.
        baseline = rss_bytes(helper.proc.pid)
        peak = baseline
        stall_ends = time.monotonic() + 20
        while time.monotonic() < stall_ends:
            peak = max(peak, rss_bytes(helper.proc.pid))
            time.sleep(0.5)
        took = self.timed_end(helper, lambda: helper.send(b"quit\n"))
        print(f"\nstalled 20 s: RSS +{(peak - baseline) / MIB:.2f} MiB", file=sys.stderr)
        if not SANITIZED:
            self.assertLess(peak - baseline, 8 * MIB)
        assert_took(self, took, QUIT_SECONDS, "quit after a 20 s stall")
        # What the pipes held when it ended: whole frames only, and "stopped", which
        # the pipe of standard error had room for.
        sizes = frame_sizes(helper.proc.stdout.read())
        self.assertTrue(sizes, "no frame reached the pipe")
        self.assertTrue(all(size <= FULL_FRAME and size % 2 == 0 for size in sizes), sizes)
        self.assertIn({"event": "stopped"}, [json.loads(line) for line in helper.proc.stderr.read().splitlines()])

    def test_a_host_that_reads_again_after_5_s_gets_every_frame_whole_and_in_time(self):
        helper = self.start_helper("--debug")
        frames = FrameReader(helper)
        helper.send(b"start\n")
        events = []
        while (event := helper.read_error_event(timeout=time_limit(10))) is not None and event["event"] != "ready":
            events.append(event)
        self.assertIsNotNone(event, "no ready")
        captured_from = time.monotonic()
        self.assertTrue(frames.wait_for_frames(3, timeout=time_limit(10)))
        frames.pause()
        time.sleep(5)  # the stall itself
        frames.resume()
        resumed = time.monotonic()
        # What waited comes at once, then frames go on at the real-time rate.
        expected = int((resumed - captured_from - 1.0) * 5)
        # Two seconds bring ten new frames: only a backlog kept whole brings the rest.
        self.assertTrue(frames.wait_for_frames(expected, timeout=time_limit(2)),
                        f"{len(frames.snapshot())} of {expected}")
        backlog_in = time.monotonic() - resumed
        count = len(frames.snapshot())
        self.assertTrue(frames.wait_for_frames(count + 5, timeout=time_limit(5)))
        helper.send(b"stop\n")
        wall = time.monotonic() - captured_from
        while (event := helper.read_error_event(timeout=time_limit(10))) is not None and event["event"] != "stopped":
            events.append(event)
        self.assertIsNotNone(event, "no stopped")
        helper.send(b"quit\n")
        self.assertEqual(helper.wait(timeout=time_limit(10)), 0)
        frames.join()
        print(f"\nafter a 5 s stall the backlog arrived in {backlog_in * 1000:.0f} ms", file=sys.stderr)
        sizes = [len(payload) for _, payload in frames.snapshot()]
        self.assertFalse(frames.malformed)
        self.assertEqual(frames.leftover(), b"")
        self.assertTrue(all(size == FULL_FRAME for size in sizes[:-1]), sizes)
        # Nothing is lost in a stall well within the backlog; were anything dropped, it
        # would have been said.
        dropped = sum(e["samples"] for e in events if e.get("step") == "framesDropped")
        self.assertEqual(dropped, 0, events)
        self.assertGreater(sum(sizes) // 2, 24000 * (wall - 1.5))

    def test_quit_ends_at_once_after_300000_unknown_commands_whose_answers_nobody_reads(self):
        helper = self.start_helper()
        writer = feed(helper, b"bogus\n" * 300_000)
        writer.join(timeout=time_limit(120))
        self.assertFalse(writer.is_alive(), "the helper stopped reading its commands")
        # "quit" waits its turn behind the commands still in the pipe; what is timed is
        # the end once it is read.
        self.assertTrue(wait_until_read(helper, time_limit(30)), "the helper stopped reading its commands")
        rss = rss_bytes(helper.proc.pid)
        took = self.timed_end(helper, lambda: helper.send(b"quit\n"))
        print(f"\n300000 unanswered errors: RSS {rss / MIB:.1f} MiB", file=sys.stderr)
        assert_took(self, took, QUIT_SECONDS, "quit after 300000 unanswered errors")
        # The answers that reached the pipe are whole lines, the newest last.
        lines = helper.proc.stderr.read().splitlines()
        self.assertTrue(lines)
        for line in lines:
            self.assertEqual(json.loads(line), {"event": "error", "message": "Unknown command: bogus"})


class StalledInputMonitorHostTest(unittest.TestCase):
    def test_end_of_input_ends_it_at_once_after_200000_answers_nobody_reads(self):
        env = os.environ.copy()
        env.pop("DISPLAY", None)
        helper = Helper("vesk-input-monitor", env=env)
        self.addCleanup(helper.kill)
        writer = feed(helper, b'{"cmd":"checkPermission"}\n' * 200_000)
        writer.join(timeout=time_limit(120))
        self.assertFalse(writer.is_alive(), "the helper stopped reading its commands")
        began = time.monotonic()
        helper.close_input()
        self.assertEqual(helper.wait(timeout=time_limit(10)), 0)
        assert_took(self, time.monotonic() - began, QUIT_SECONDS, "end of input after 200000 unread answers")
        output = helper.proc.stdout.read()
        self.assertTrue(output.endswith(b"\n"), "a torn last line")
        events = [json.loads(line) for line in output.splitlines()]
        self.assertEqual(events[0]["type"], "permission")
        self.assertTrue(all(event["type"] in ("permission", "ready") for event in events))


if __name__ == "__main__":
    unittest.main()
