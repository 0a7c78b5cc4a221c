"""End-to-end tests of the vesk-helpers Node.js package (clients/node): a script that
uses it as a host does (tools/node_client_driver.js) runs the built helpers on a
private PulseAudio server and a private X server, while tones play and keys are typed
through XTest."""

import json
import os
import shutil
import signal
import subprocess
import tempfile
import threading
import time
import unittest
import wave

from audio_session import Player, PulseServer, tone_heard, tone_peak, write_tone
from host import BUILD_DIR, assert_took, time_limit
from x11_session import CONTROL_MASK, XServer, wait_for_grab

DRIVER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "tools", "node_client_driver.js")
NODE = shutil.which("node")


class Driver:
    """The driver script, its JSON lines collected as they come."""

    def __init__(self, env, *args, group=False):
        # group: in a process group of its own, as a host run from a terminal is.
        self.proc = subprocess.Popen([NODE, DRIVER, *args], env=env, stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=group)
        self.steps = []
        self._changed = threading.Condition()
        self._thread = threading.Thread(target=self._collect, daemon=True)
        self._thread.start()

    def _collect(self):
        for raw in self.proc.stdout:
            with self._changed:
                self.steps.append(json.loads(raw))
                self._changed.notify_all()

    def wait_step(self, name, timeout=time_limit(20.0)):
        """The first printed step of that name."""
        deadline = time.monotonic() + timeout
        with self._changed:
            while True:
                for step in self.steps:
                    if step["step"] in (name, "failed"):
                        if step["step"] == "failed":
                            raise AssertionError(f"the driver failed: {step}")
                        return step
                left = deadline - time.monotonic()
                if left <= 0 or self.proc.poll() is not None and not self._thread.is_alive():
                    raise AssertionError(f"no {name!r} within {timeout} s; saw {self.steps}, "
                                         f"{self.proc.stderr.read() if self.proc.poll() is not None else ''}")
                self._changed.wait(min(left, 0.5))

    def cue(self, line):
        self.proc.stdin.write(line.encode() + b"\n")
        self.proc.stdin.flush()

    def finish(self, timeout=time_limit(30)):
        code = self.proc.wait(timeout=timeout)
        self._thread.join(5)
        return code

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self._thread.join(5)
        for stream in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            stream.close()


def read_wav(path):
    with wave.open(path, "rb") as f:
        params = (f.getnchannels(), f.getsampwidth(), f.getframerate())
        data = f.readframes(f.getnframes())
    return params, memoryview(data).cast("h").tolist()


@unittest.skipUnless(NODE, "node is not installed")
class NodeClientTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="vesk-node-client-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def driver(self, env, *args, group=False):
        driver = Driver(env, *args, group=group)
        self.addCleanup(driver.kill)
        return driver

    def capture(self, server, seconds, *args, players=(), heard=()):
        """Runs the capture scenario once the `players`' streams are on the server and
        the tones `heard` play (a loaded machine can take seconds to start one); its
        steps, and the samples it wrote."""
        for player in players:
            server.sink_input_of(player)
        for hz in heard:
            server.wait_until_heard(hz)
        wav = os.path.join(self.dir, "capture.wav")
        driver = self.driver(server.env, "capture", BUILD_DIR, wav, str(seconds), *map(str, args))
        self.assertEqual(driver.finish(), 0, driver.steps)
        params, samples = read_wav(wav)
        self.assertEqual(params, (1, 2, 24000))
        self.assertGreaterEqual(len(samples), seconds * 24000)
        return {step["step"]: step for step in driver.steps}, samples

    def test_capture_stop_start_and_quit(self):
        server = PulseServer()
        self.addCleanup(server.close)
        player = Player(server, 440)
        self.addCleanup(player.stop)
        steps, samples = self.capture(server, 3, players=[player], heard=[440])
        self.assertEqual(steps["permission"]["granted"], True)
        for step in ("ready", "started again"):
            self.assertEqual({k: steps[step][k] for k in ("sampleRate", "channels")}, {"sampleRate": 24000, "channels": 1})
        self.assertEqual(steps["ready"]["deviceRate"], 48000)
        # Whole frames of 200 ms while capture runs.
        self.assertEqual(set(steps["stopped"]["sizes"]), {4800})
        self.assertFalse(steps["stopped"]["capturing"])
        self.assertEqual(steps["quit"]["code"], 0)
        self.assertEqual(steps["quit"]["exits"], [{"code": 0, "signal": None}])
        self.assertFalse(steps["quit"]["capturing"])
        self.assertEqual(steps["quit"]["dropped"], 0)
        self.assertTrue(all("vesk-audio-tap exited with status 0" in r for r in steps["after"]["rejected"]),
                        steps["after"])
        # The player's first moments may reach the server late: judge the last two seconds.
        tail = samples[-2 * 24000:]
        self.assertGreater(tone_heard(tail, 440), 0.15, steps["stopped"])  # played at 0.3 of full scale
        self.assertLess(tone_peak(tail, 1000), 0.01)

    def test_an_excluded_process_is_left_out(self):
        server = PulseServer()
        self.addCleanup(server.close)
        excluded, heard = Player(server, 440), Player(server, 1000)
        for player in (excluded, heard):
            self.addCleanup(player.stop)
        steps, samples = self.capture(server, 3, excluded.pid, players=[excluded, heard], heard=[440, 1000])
        tail = samples[-2 * 24000:]
        self.assertGreater(tone_heard(tail, 1000), 0.15, steps["stopped"])
        self.assertLess(tone_peak(tail, 440), 0.01)

    def test_the_hosts_own_children_are_left_out(self):
        server = PulseServer()
        self.addCleanup(server.close)
        heard = Player(server, 1000)
        self.addCleanup(heard.stop)
        tone = os.path.join(self.dir, "own.wav")
        write_tone(tone, 440, 30)
        # The driver, the host here, plays the 440 Hz tone through a child of its own.
        steps, samples = self.capture(server, 3, "--descendants", tone, players=[heard], heard=[1000])
        tail = samples[-2 * 24000:]
        self.assertGreater(tone_heard(tail, 1000), 0.15, steps["stopped"])
        self.assertLess(tone_peak(tail, 440), 0.01)

    def test_push_to_talk_and_a_recorded_shortcut(self):
        x = XServer()
        self.addCleanup(x.stop)
        driver = self.driver(x.env, "keys", BUILD_DIR)
        self.assertEqual(driver.wait_step("ready"), {"step": "ready", "trusted": True, "tapCreated": True})
        self.assertEqual(driver.wait_step("permission")["trusted"], True)
        driver.wait_step("bound")
        self.assertTrue(wait_for_grab(x, "taken", "probe", "space", str(CONTROL_MASK)), "key grab not in place")
        x.press("Control_L", "space")
        driver.wait_step("down")
        x.release("space", "Control_L")
        driver.wait_step("up")

        # A recording aborted through its signal ends record mode, and with it the grab.
        driver.cue("record-then-abort")
        driver.wait_step("recording to abort")
        self.assertTrue(wait_for_grab(x, "taken", "probe-keyboard"), "keyboard not grabbed for recording")
        driver.cue("abort")
        self.assertEqual(driver.wait_step("record aborted")["code"], "ABORT_ERR")
        self.assertTrue(wait_for_grab(x, "free", "probe-keyboard"), "keyboard still grabbed after the abort")

        driver.cue("record")
        driver.wait_step("recording")
        self.assertTrue(wait_for_grab(x, "taken", "probe-keyboard"), "keyboard not grabbed for recording")
        x.tap("Shift_L", "b")
        self.assertEqual(driver.wait_step("recorded"),
                         {"step": "recorded", "mainKey": 11, "modifiers": ["shift"], "label": "\u21e7 + B"})

        driver.cue("close")
        self.assertEqual(driver.wait_step("closed"), {"step": "closed", "code": 0})
        self.assertEqual(driver.finish(), 0)
        self.assertEqual([s["step"] for s in driver.steps if s["step"] in ("down", "up", "exit")], ["down", "up", "exit"])

    def test_ctrl_c_reaches_the_host_and_the_host_dying_ends_the_helpers(self):
        server = PulseServer()
        self.addCleanup(server.close)
        # Ctrl-C in a terminal: SIGINT to the host's whole process group. The helpers are
        # in groups of their own, so the host's handler ends them in order.
        driver = self.driver(server.env, "signals", BUILD_DIR, group=True)
        pids = driver.wait_step("running")["pids"]
        time.sleep(0.5)
        os.killpg(driver.proc.pid, signal.SIGINT)
        step = driver.wait_step("quit")
        self.assertEqual(step["codes"], [0, 0])
        self.assertGreater(step["frames"], 0)
        self.assertEqual(driver.finish(), 0)
        self.assertFalse([pid for pid in pids if alive(pid)])
        # The host killed outright: no helper outlives it by more than a second.
        driver = self.driver(server.env, "signals", BUILD_DIR, group=True)
        pids = driver.wait_step("running")["pids"]
        driver.proc.kill()
        killed = time.monotonic()
        while any(alive(pid) for pid in pids) and time.monotonic() - killed < time_limit(1.0):
            time.sleep(0.02)
        assert_took(self, time.monotonic() - killed, 1.0, "host SIGKILL -> no helper left")

    def test_stops_drops_and_a_capture_that_ends_on_its_own(self):
        server = PulseServer()
        self.addCleanup(server.close)
        player = Player(server, 440)
        self.addCleanup(player.stop)
        wav = os.path.join(self.dir, "overflow.wav")
        driver = self.driver(server.env, "lifecycle", BUILD_DIR, wav)

        # Whatever the moment of stop() within a frame, every sample the helper made is in
        # frames() when it resolves (no frame later), and a read aborted while waiting
        # took none of them. A short last frame comes when the samples are not a whole
        # number of frames.
        step = driver.wait_step("stops", time_limit(60))
        made = [b - a for a, b in zip([0] + step["converted"], step["converted"])]
        for stop, samples in zip(step["stops"], made):
            self.assertIn(stop["aborted"], ("ABORT_ERR", "read"), stop)
            self.assertFalse(stop["late"], stop)
            self.assertEqual(sum(stop["sizes"]) + stop["dropped"], samples, stop)
            self.assertEqual(set(stop["sizes"][:-1]), {4800}, stop)
            self.assertEqual(stop["sizes"][-1] < 4800, samples % 4800 != 0, stop)

        # A reader 3 s behind a backlog of 5 frames: the dropped frames are reported, and
        # the WAV file keeps the capture's timeline with silence in their place.
        step = driver.wait_step("overflow", time_limit(30))
        dropped = sum(d["samples"] for d in step["drops"][:step["read"]])
        self.assertGreater(step["read"], 5)
        self.assertEqual({d["where"] for d in step["drops"]}, {"host"})
        self.assertEqual(step["dropped"], len(step["drops"]))
        self.assertEqual(step["silent"], dropped)
        params, samples = read_wav(wav)
        self.assertEqual(len(samples), step["samples"])
        self.assertEqual(len(samples), step["end"])
        first = 2 * 4800  # two frames were read before the reader fell behind
        self.assertEqual(samples[first:first + dropped], [0] * dropped)
        self.assertGreater(tone_heard(samples[first + dropped:], 440), 0.15)

        # The sound server goes away: "error" (a TapError), "stopped" not asked for, and the
        # capture's frames end.
        driver.wait_step("capturing")
        time.sleep(0.5)
        server.stop()
        step = driver.wait_step("ended", time_limit(20))
        self.assertGreater(step["count"], 0)
        self.assertEqual([list(s) for s in step["seen"]], [["error"], ["stopped"]])
        self.assertEqual(step["seen"][0]["error"]["code"], "ERR_VESK_TAP")
        self.assertEqual(step["seen"][1]["stopped"], {"requested": False})
        self.assertFalse(step["capturing"])
        self.assertEqual(step["code"], 0)
        self.assertEqual(driver.finish(), 0)


def alive(pid):
    """Whether the process runs (a zombie no one reaped has ended)."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


if __name__ == "__main__":
    unittest.main()
