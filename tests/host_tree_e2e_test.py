"""End-to-end tests of --exclude-descendants against a private sound server: a host
made of several processes starts the helper, and the players and recorders the host
starts while the helper runs are left out, while an unrelated process is heard."""

import json
import os
import sys
import time
import unittest

from audio_capture_e2e_test import ServerTestCase
from audio_session import FrameReader, Player, Recorder, samples_of, tone_level, tone_peak, write_tone
from host import Helper, time_limit

TREE_HOST = os.path.join(os.path.dirname(os.path.abspath(__file__)), "tools", "tree_host.py")


class TreeHost:
    """The host process: the helper is its child; it starts players on request."""

    def __init__(self, test, args):
        control_read, self._control = os.pipe()
        self._replies, reply_write = os.pipe()
        self.helper = Helper("vesk-audio-tap", args=args, env=test.server.env,
                             launcher=(sys.executable, TREE_HOST, str(control_read), str(reply_write)),
                             pass_fds=(control_read, reply_write))
        os.close(control_read)
        os.close(reply_write)
        self._reply_file = os.fdopen(self._replies, "r")
        test.addCleanup(self.close)
        self.frames = FrameReader(self.helper)

    def spawn(self, *argv):
        os.write(self._control, (json.dumps(list(argv)) + "\n").encode())
        return json.loads(self._reply_file.readline())

    def close(self):
        try:
            os.close(self._control)  # the host kills what it started and exits
        except OSError:
            pass
        try:
            self.helper.proc.wait(timeout=time_limit(10))
        except Exception:
            pass
        self.helper.kill()
        self._reply_file.close()


class HostTreeTest(ServerTestCase):
    def tone(self, hz):
        path = os.path.join(self.server.dir, f"tone-{hz}.wav")
        if not os.path.exists(path):
            write_tone(path, hz, 30)
        return ["paplay", "--latency-msec=20", path]

    def unrelated_player(self, hz):
        player = Player(self.server, hz)
        self.addCleanup(player.stop)
        return player

    def start_host(self, *args):
        host = TreeHost(self, args)
        host.helper.send(b"start\n")
        ready = host.helper.read_error_event(10)
        self.assertEqual((ready or {}).get("event"), "ready", ready)
        return host

    def playing_pids(self):
        listing = self.server.ctl("list", "sink-inputs").stdout
        return {int(line.split('"')[1]) for line in listing.splitlines() if "application.process.id" in line}

    def wait_until(self, condition, what, timeout=time_limit(15)):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if condition():
                return
            time.sleep(0.1)
        self.fail(f"{what} within {timeout} s")

    def samples(self, frames, first, count):
        """The samples of `count` frames from index `first` on, once they have arrived."""
        self.assertTrue(frames.wait_for_frames(first + count, timeout=time_limit(count * 0.2 + 10)))
        return samples_of(payload for _, payload in frames.snapshot()[first:first + count])

    def assert_absent(self, samples, hz):
        # Judged by the loudest short block: a leak of a few milliseconds would show.
        self.assertLess(tone_peak(samples, hz), 0.01, f"{hz} Hz leaked")

    def assert_present(self, samples, hz):
        # The median holds when a loaded server drops a block or two.
        self.assertGreater(tone_level(samples, hz), 0.1, f"no {hz} Hz")

    def test_children_and_grandchildren_started_later_are_left_out(self):
        host = self.start_host("--exclude-descendants")
        first = len(host.frames.snapshot())
        child = host.spawn(*self.tone(440))
        grandchild = host.spawn("grandchild", *self.tone(660))["grandchild"]
        unrelated = self.unrelated_player(1000)
        self.wait_until(lambda: {child["pid"], grandchild, unrelated.pid} <= self.playing_pids(), "all three playing")
        self.wait_for_tone(host.frames, 1000)
        seen = len(host.frames.snapshot())
        # From the first frame after "start" on: neither tone may ever be heard.
        whole = self.samples(host.frames, first, seen - first + 10)
        self.assert_absent(whole, 440)
        self.assert_absent(whole, 660)
        self.assert_present(self.samples(host.frames, seen, 10), 1000)

    def test_a_grandchild_handed_to_another_parent_stays_left_out(self):
        host = self.start_host("--exclude-descendants")
        # The grandchild plays only after its parent is gone and it has a new parent.
        middle = host.spawn("grandchild", "sh", "-c", 'sleep 4; exec "$0" "$@"', *self.tone(660))
        unrelated = self.unrelated_player(1000)
        time.sleep(2)  # the helper walks the tree twice a second; the grandchild is in it
        os.kill(middle["pid"], 9)
        self.wait_until(lambda: {middle["grandchild"], unrelated.pid} <= self.playing_pids(), "both playing")
        self.assertNotIn(self.parent_of(middle["grandchild"]), (middle["pid"], host.helper.proc.pid))
        later = self.samples(host.frames, len(host.frames.snapshot()), 10)
        self.assert_absent(later, 660)
        self.assert_present(later, 1000)

    @staticmethod
    def parent_of(pid):
        with open(f"/proc/{pid}/stat") as stat:
            return int(stat.read().rsplit(")", 1)[1].split()[1])

    def test_without_the_flag_the_hosts_child_is_heard(self):
        host = self.start_host()
        child = host.spawn(*self.tone(440))
        self.wait_until(lambda: child["pid"] in self.playing_pids(), "the child playing")
        # A fresh server plays its first stream 1.2-1.4 s after listing it, to a bare
        # recorder too.
        self.wait_for_tone(host.frames, 440)
        self.assert_present(self.samples(host.frames, len(host.frames.snapshot()), 10), 440)

    def test_the_hosts_recorder_is_not_reported(self):
        host = TreeHost(self, ["--exclude-descendants"])
        host.helper.send(b"watchInput\n")
        recorder = host.spawn("parec", "-d", self.server.SOURCE)["pid"]
        self.wait_until(lambda: recorder in self.recording_pids(), "the host's recorder")
        other = Recorder(self.server)
        self.addCleanup(other.stop)
        reported = []
        deadline = time.monotonic() + time_limit(10)
        while time.monotonic() < deadline and not (reported and other.pid in reported[-1]):
            event = host.helper.read_error_event(0.5)
            if event and event["event"] == "inputActivity":
                reported.append([p["pid"] for p in event["processes"]])
        self.assertTrue(reported and other.pid in reported[-1], reported)
        for pids in reported:
            self.assertNotIn(recorder, pids)

    def recording_pids(self):
        listing = self.server.ctl("list", "source-outputs").stdout
        return {int(line.split('"')[1]) for line in listing.splitlines() if "application.process.id" in line}


if __name__ == "__main__":
    unittest.main()
