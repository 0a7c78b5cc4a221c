"""End-to-end tests of the Node.js host example (examples/node-host): it runs both
built helpers against a private PulseAudio server and a private X server, while a
tone plays, keys are typed through XTest and a recorder opens the microphone; the
WAV file it writes and the lines it prints are then checked."""

import os
import shutil
import signal
import struct
import subprocess
import tempfile
import threading
import time
import unittest

from audio_session import Player, PulseServer, Recorder, tone_heard, tone_peak
from host import BUILD_DIR, time_limit
from x11_session import XServer

HOST_JS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples", "node-host", "host.js")
NODE = shutil.which("node")
# Grabs are put in place by the input monitor's event thread just after the binding arrives.
SETTLE = 0.3


class HostProcess:
    """host.js running with its standard output collected line by line."""

    def __init__(self, env, *args):
        self.proc = subprocess.Popen([NODE, HOST_JS, "--build", BUILD_DIR, *args], env=env,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.lines = []
        self.errors = []
        self._changed = threading.Condition()
        self._threads = [threading.Thread(target=self._collect, args=(stream, into), daemon=True)
                         for stream, into in ((self.proc.stdout, self.lines), (self.proc.stderr, self.errors))]
        for thread in self._threads:
            thread.start()

    def _collect(self, stream, into):
        for raw in stream:
            with self._changed:
                into.append(raw.decode("utf-8", "replace").rstrip("\n"))
                self._changed.notify_all()

    def wait_for(self, predicate, timeout=time_limit(10.0)):
        """The first printed line that satisfies `predicate`."""
        deadline = time.monotonic() + timeout
        with self._changed:
            while True:
                for line in self.lines:
                    if predicate(line):
                        return line
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError(f"no such line within {timeout} s; printed {self.lines}, {self.errors}")
                self._changed.wait(left)

    def wait_for_line(self, text, timeout=time_limit(10.0)):
        return self.wait_for(lambda line: line == text, timeout)

    def helper_pid(self, name):
        return int(self.wait_for(lambda line: line.startswith(f"{name}: pid ")).split()[-1])

    def finish(self, timeout=time_limit(20.0)):
        code = self.proc.wait(timeout=timeout)
        for thread in self._threads:
            thread.join(5)
        return code

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        for thread in self._threads:
            thread.join(5)
        self.proc.stdout.close()
        self.proc.stderr.close()


def read_wav(path):
    """(header fields, PCM bytes) of a canonical 44-byte-header WAV file."""
    with open(path, "rb") as f:
        data = f.read()
    fields = struct.unpack("<4sI4s4sIHHIIHH4sI", data[:44])
    names = ("riff", "riff_size", "wave", "fmt", "fmt_size", "format", "channels", "rate", "byte_rate",
             "block_align", "bits", "data", "data_size")
    return dict(zip(names, fields)), data[44:]


def gone(pid):
    """Whether the process has ended (a zombie waiting for its reaper counts)."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] == "Z"
    except FileNotFoundError:
        return True


@unittest.skipUnless(NODE, "node is not installed")
class NodeHostTest(unittest.TestCase):
    def setUp(self):
        self.server = PulseServer()
        self.addCleanup(self.server.close)
        self.dir = tempfile.mkdtemp(prefix="vesk-node-host-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.wav = os.path.join(self.dir, "out.wav")

    def start_host(self, env, *args):
        host = HostProcess(env, "--out", self.wav, *args)
        self.addCleanup(host.kill)
        return host

    def assert_complete_wav(self, seconds=None):
        header, pcm = read_wav(self.wav)
        self.assertEqual(
            {k: header[k] for k in ("riff", "wave", "fmt", "fmt_size", "format", "channels", "rate", "byte_rate",
                                    "block_align", "bits", "data")},
            {"riff": b"RIFF", "wave": b"WAVE", "fmt": b"fmt ", "fmt_size": 16, "format": 1, "channels": 1,
             "rate": 24000, "byte_rate": 48000, "block_align": 2, "bits": 16, "data": b"data"})
        self.assertEqual(header["data_size"], len(pcm))
        self.assertEqual(header["riff_size"], 36 + len(pcm))
        if seconds is not None:
            self.assertEqual(len(pcm), seconds * 48000)
        return struct.unpack(f"<{len(pcm) // 2}h", pcm)

    def test_push_to_talk_recording_and_microphone(self):
        x = XServer()
        self.addCleanup(x.stop)
        player = Player(self.server, 440)
        self.addCleanup(player.stop)
        host = self.start_host(dict(self.server.env, DISPLAY=x.display), "--seconds", "5")
        helpers = [host.helper_pid("input monitor"), host.helper_pid("audio tap")]
        host.wait_for_line("input monitor: ready tapCreated=true")
        host.wait_for_line("push-to-talk: control+key 49")
        host.wait_for_line("microphone: idle")
        time.sleep(SETTLE)

        x.press("Control_L", "space")
        host.wait_for_line("down")
        x.release("space", "Control_L")
        host.wait_for_line("up")

        recorder = Recorder(self.server)
        self.addCleanup(recorder.stop)
        host.wait_for(lambda line: line.startswith("microphone: in use by") and str(recorder.pid) in line)
        recorder.stop()

        self.assertEqual(host.finish(), 0, host.errors)
        self.assertEqual(host.errors, [])
        self.assertEqual([line for line in host.lines if line in ("down", "up")], ["down", "up"])
        self.assertIn("audio tap: stopped", host.lines)
        self.assertEqual(host.lines[-1], f"recorded 5.00 s to {self.wav}")
        samples = self.assert_complete_wav(seconds=5)
        # The player's first moments may reach the server late: judge the last two seconds.
        tail = samples[-2 * 24000:]
        self.assertGreater(tone_heard(tail, 440), 0.15)  # played at 0.3 of full scale
        self.assertLess(tone_peak(tail, 1000), 0.01)
        for pid in helpers:
            self.assertTrue(gone(pid), pid)

    def test_the_audio_tap_dying_ends_the_recording_with_a_complete_file(self):
        host = self.start_host(self.server.env, "--seconds", "60")
        tap = host.helper_pid("audio tap")
        monitor = host.helper_pid("input monitor")
        host.wait_for(lambda line: line.startswith("audio tap: ready"))
        time.sleep(1.0)
        os.kill(tap, signal.SIGKILL)
        self.assertEqual(host.finish(timeout=time_limit(10)), 1)
        self.assertIn("error: audio tap killed by SIGKILL", host.errors)
        samples = self.assert_complete_wav()
        self.assertLess(len(samples), 10 * 24000)
        self.assertTrue(gone(monitor))

    def test_an_interrupt_ends_early_and_cleanly(self):
        host = self.start_host(self.server.env, "--seconds", "60")
        helpers = [host.helper_pid("input monitor"), host.helper_pid("audio tap")]
        host.wait_for(lambda line: line.startswith("audio tap: ready"))
        # Interrupted once the first second of frames is in the file (a loaded server may
        # deliver its first audio late).
        deadline = time.monotonic() + time_limit(20)
        while os.path.getsize(self.wav) < 44 + 48000 and time.monotonic() < deadline:
            time.sleep(0.05)
        host.proc.send_signal(signal.SIGINT)
        self.assertEqual(host.finish(timeout=time_limit(10)), 0, host.errors)
        self.assertIn("audio tap: stopped", host.lines)
        samples = self.assert_complete_wav()
        # About a second of frames, and the short last one the tap writes at "quit".
        self.assertGreaterEqual(len(samples), 24000)
        self.assertLess(len(samples), 30 * 24000)  # of the 60 asked for
        self.assertEqual(host.lines[-1], f"recorded {len(samples) / 24000:.2f} s to {self.wav}")
        for pid in helpers:
            self.assertTrue(gone(pid), pid)

    def test_missing_helpers_are_reported(self):
        host = HostProcess(self.server.env, "--out", self.wav, "--build", self.dir, "--seconds", "1")
        self.addCleanup(host.kill)
        self.assertEqual(host.finish(timeout=time_limit(10)), 1)
        self.assertTrue(any("could not run" in line and "vesk-audio-tap" in line for line in host.errors), host.errors)
        self.assertEqual(self.assert_complete_wav(), ())


@unittest.skipUnless(NODE, "node is not installed")
class NodeHostUnitTest(unittest.TestCase):
    def test_modules(self):
        tests = os.path.join(os.path.dirname(HOST_JS), "test")
        result = subprocess.run([NODE, "--test", tests], capture_output=True, text=True, timeout=120)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)


if __name__ == "__main__":
    unittest.main()
