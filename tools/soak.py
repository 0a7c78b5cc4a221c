"""Soak test of vesk-audio-tap: captures from a private PulseAudio server for a number
of minutes while a tone plays, then checks that the helper streamed 24000 samples per
second of wall time (within 0.1 %), that every frame was well formed, and that its
memory stayed flat; midway the reader stops reading standard output for 10 s, and
memory must stay bounded while capture goes on (what the reader has not read waits
in a backlog of at most 30 s of frames, 1.4 MB).

Usage: tools/soak.sh MINUTES   (or python3 tools/soak.py MINUTES [BUILD_DIR])"""

import os
import struct
import subprocess
import sys
import threading
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(ROOT, "tests"))
os.environ.setdefault("VESK_BUILD_DIR", os.path.abspath(sys.argv[2]) if len(sys.argv) > 2 else os.path.join(ROOT, "build"))

from audio_session import Player, PulseServer  # noqa: E402
from host import Helper  # noqa: E402

FULL = 9600
STALL_SECONDS = 10


class CheckingReader:
    """Reads frames as they come, checks each, and can be told to stop reading."""

    def __init__(self, helper):
        self.fd = helper.proc.stdout.fileno()
        self.samples = 0
        self.frames = 0
        self.short_frames = 0
        self.bad = []
        self.reading = threading.Event()
        self.reading.set()
        self.data = b""
        threading.Thread(target=self.run, daemon=True).start()

    def run(self):
        while True:
            self.reading.wait()
            chunk = os.read(self.fd, 1 << 16)
            if not chunk:
                return
            self.data += chunk
            while len(self.data) >= 4:
                (length,) = struct.unpack("<I", self.data[:4])
                if length > FULL or length % 2:
                    self.bad.append(length)
                if len(self.data) < 4 + length:
                    break
                if length < FULL:
                    self.short_frames += 1
                self.frames += 1
                self.samples += length // 2
                self.data = self.data[4 + length:]


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def main():
    minutes = float(sys.argv[1]) if len(sys.argv) > 1 else 1.0
    total = minutes * 60
    server = PulseServer()
    player = None
    try:
        player = Player(server, 440, seconds=60)
        helper = Helper("vesk-audio-tap", env=server.env)
        reader = CheckingReader(helper)
        helper.send(b"start\n")
        assert helper.read_error_event()["event"] == "ready"
        started = time.monotonic()
        rss = []
        stall_peak = 0
        stall_at = total / 2
        while (elapsed := time.monotonic() - started) < total:
            if player.proc.poll() is not None:
                player = Player(server, 440, seconds=60)  # keep something playing
            if stall_at <= elapsed < stall_at + STALL_SECONDS:
                reader.reading.clear()
                stall_peak = max(stall_peak, rss_kib(helper.proc.pid))
            else:
                reader.reading.set()
                rss.append((elapsed, rss_kib(helper.proc.pid)))
            time.sleep(1)
        reader.reading.set()
        helper.send(b"stop\n")
        assert helper.read_error_event(timeout=30)["event"] == "stopped"
        wall = time.monotonic() - started
        time.sleep(0.5)
        helper.send(b"quit\n")
        helper.wait(timeout=10)
    finally:
        if player:
            player.stop()
        server.close()

    expected = wall * 24000
    drift = (reader.samples - expected) / expected * 100
    settled = [kib for t, kib in rss if t >= min(10.0, total / 4)]
    growth = settled[-1] - settled[0] if settled else 0
    baseline = settled[0] if settled else 0
    checks = {
        "rate within 0.1 %": abs(drift) <= 0.1,
        "frames well formed": not reader.bad and reader.short_frames <= 1,
        "memory flat (under 2 MiB of growth)": growth < 2048,
        "memory bounded while stalled (under 8 MiB above steady)": stall_peak - baseline < 8192,
    }
    print(f"soak: {wall:.1f} s captured, {reader.frames} frames, {reader.samples} samples "
          f"({reader.samples / wall:.2f}/s, {drift:+.4f} % from 24000/s)")
    print(f"  RSS {baseline} KiB after warm-up, {settled[-1] if settled else 0} KiB at the end; "
          f"peak {stall_peak} KiB during a {STALL_SECONDS} s stall of the reader")
    for name, ok in checks.items():
        print(f"  {'ok  ' if ok else 'FAIL'} {name}")
    sys.exit(0 if all(checks.values()) else 1)


if __name__ == "__main__":
    main()
