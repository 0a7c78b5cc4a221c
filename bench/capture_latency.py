"""Capture latency of vesk-audio-tap on a private PulseAudio server: from a tone's
onset to the arrival of the frame that holds it, beside a bare low-latency recorder
of the sink's monitor (parec) in the same run, whose arrival marks the onset.
Frames are 200 ms, so up to 200 ms of the figure is the wait for a frame to fill.

Usage: python3 bench/capture_latency.py [BUILD_DIR] [BURSTS]"""

import math
import os
import statistics
import struct
import subprocess
import sys
import threading
import time
import wave

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))
os.environ.setdefault("VESK_BUILD_DIR", os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "..", "build")))

from audio_session import FrameReader, PulseServer  # noqa: E402
from host import Helper  # noqa: E402
from latency_stats import percentile  # noqa: E402

THRESHOLD = 3000  # of 32767: well above silence, well below the tone


def write_bursts(path, bursts, rate=48000):
    """Half a second of silence, then bursts of 250 ms of 1 kHz, each followed by 700 to
    900 ms of silence, so onsets fall at every phase of the 200 ms frames."""
    with wave.open(path, "wb") as out:
        out.setnchannels(1)
        out.setsampwidth(2)
        out.setframerate(rate)
        silence = b"\0\0" * (rate // 2)
        tone = b"".join(struct.pack("<h", int(0.5 * 32767 * math.sin(2 * math.pi * 1000 * i / rate)))
                        for i in range(rate // 4))
        gaps = [b"\0\0" * (rate * (700 + (k * 53) % 200) // 1000) for k in range(bursts)]
        out.writeframes(silence + b"".join(tone + gap for gap in gaps))


def onsets(samples, rate):
    """Indices where the signal rises above the threshold after at least 100 ms below it."""
    found, quiet = [], rate // 10
    for i, s in enumerate(samples):
        if abs(s) > THRESHOLD:
            if quiet >= rate // 10:
                found.append(i)
            quiet = 0
        else:
            quiet += 1
    return found


class MonitorRecorder:
    """parec on the sink's monitor: chunks with their arrival times."""

    def __init__(self, server):
        self.proc = subprocess.Popen(
            ["parec", "--latency-msec=5", "--format=s16le", "--rate=48000", "--channels=1", "-d",
             f"{server.SINK}.monitor"], env=server.env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.chunks = []
        threading.Thread(target=self._run, daemon=True).start()

    def _run(self):
        fd = self.proc.stdout.fileno()
        while True:
            data = os.read(fd, 4096)
            if not data:
                return
            self.chunks.append((time.monotonic(), data))

    def onset_times(self):
        data, ends, total = b"", [], 0
        for arrived, chunk in list(self.chunks):
            data += chunk
            total += len(chunk) // 2
            ends.append((total, arrived))
        samples = struct.unpack(f"<{len(data) // 2}h", data[: len(data) // 2 * 2])
        return [next(t for end, t in ends if end > i) for i in onsets(samples, 48000)]

    def stop(self):
        self.proc.kill()
        self.proc.wait()


def measure(bursts):
    """Milliseconds from each onset (as the bare recorder saw it) to the helper's frame."""
    server = PulseServer()
    try:
        path = os.path.join(server.dir, "bursts.wav")
        write_bursts(path, bursts)
        reference = MonitorRecorder(server)
        helper = Helper("vesk-audio-tap", env=server.env)
        frames = FrameReader(helper)
        helper.send(b"start\n")
        assert helper.read_error_event()["event"] == "ready"
        time.sleep(0.5)
        player = subprocess.Popen(["paplay", "--latency-msec=20", path], env=server.env)
        player.wait()
        time.sleep(1.0)
        helper.send(b"stop\n")
        helper.read_error_event()
        reference.stop()
        captured = frames.snapshot()
        helper.send(b"quit\n")
        helper.wait()

        ends, total, data = [], 0, b""
        for arrived, payload in captured:
            data += payload
            total += len(payload) // 2
            ends.append((total, arrived))
        samples = struct.unpack(f"<{len(data) // 2}h", data)
        helper_times = [next(t for end, t in ends if end > i) for i in onsets(samples, 24000)]
        reference_times = reference.onset_times()
        pairs = list(zip(reference_times, helper_times))
        if len(helper_times) != len(reference_times) or not pairs:
            print(f"onsets seen: helper {len(helper_times)}, reference {len(reference_times)}; expected {bursts}")
        return sorted((h - r) * 1000 for r, h in pairs)
    finally:
        server.close()


def main():
    latencies = measure(int(sys.argv[2]) if len(sys.argv) > 2 else 20)
    print(f"Tone onset -> frame holding it, {len(latencies)} onsets (ms, after a bare parec's arrival)")
    print(f"  p50 {statistics.median(latencies):7.1f}   p95 {percentile(latencies, 95):7.1f}   "
          f"min {latencies[0]:7.1f}   max {latencies[-1]:7.1f}")


if __name__ == "__main__":
    main()
