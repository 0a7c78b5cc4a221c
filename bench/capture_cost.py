"""What capturing costs, beside `parec` recording the same sink's monitor in the same
run: CPU time, wake-ups (voluntary context switches over all threads), resident
memory, and glitchy 100 ms blocks of a steady tone (drops), on a private PulseAudio
or PipeWire server. parec is asked for what the helper asks of the server (float mono
at the sink's rate) and is read through a pipe, as the helper's frames are.

Usage: python3 bench/capture_cost.py [BUILD_DIR] [SECONDS] [pulse|pipewire] [playing|idle]"""

import math
import os
import struct
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))
os.environ.setdefault("VESK_BUILD_DIR", os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "..", "build")))

from audio_session import FrameReader, PipeWireServer, PulseServer  # noqa: E402
from host import Helper  # noqa: E402

TONE_HZ = 1000
BLOCK_SECONDS = 0.1


class ProcessMeter:
    """CPU time and voluntary context switches of a process, summed over its threads."""

    def __init__(self, pid):
        self.pid = pid
        self.start = self.read()

    def read(self):
        cpu_ns = switches = 0
        task_dir = f"/proc/{self.pid}/task"
        for tid in os.listdir(task_dir):
            try:
                with open(f"{task_dir}/{tid}/schedstat") as f:
                    cpu_ns += int(f.read().split()[0])
                with open(f"{task_dir}/{tid}/status") as f:
                    for line in f:
                        if line.startswith("voluntary_ctxt_switches:"):
                            switches += int(line.split()[1])
            except FileNotFoundError:
                pass  # a thread that ended between the listing and the read
        return cpu_ns, switches

    def rss_kib(self):
        with open(f"/proc/{self.pid}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        return 0

    def since_start(self, seconds):
        cpu_ns, switches = self.read()
        return {"cpu": (cpu_ns - self.start[0]) / 1e9 / seconds, "wakeups": (switches - self.start[1]) / seconds,
                "rss_kib": self.rss_kib()}


class PipeReader:
    """Reads a process's standard output on a thread, keeping everything."""

    def __init__(self, proc):
        self.chunks = []
        self._fd = proc.stdout.fileno()
        threading.Thread(target=self._run, daemon=True).start()

    def _run(self):
        while True:
            data = os.read(self._fd, 65536)
            if not data:
                return
            self.chunks.append(data)

    def data(self):
        return b"".join(list(self.chunks))


def glitchy_blocks(samples, rate):
    """Indices of the 100 ms blocks of a steady tone that show a drop: a 5 ms stretch far
    quieter than the tone, or the block's tone level off the median by more than 10%;
    and the number of blocks."""
    block, window = int(rate * BLOCK_SECONDS), int(rate * 0.005)
    blocks = [samples[i:i + block] for i in range(0, len(samples) - block + 1, block)]
    levels = [tone_level(b, rate) for b in blocks]
    typical = sorted(levels)[len(levels) // 2] if levels else 0
    tone_rms = typical / math.sqrt(2)
    glitches = []
    for index, (b, lvl) in enumerate(zip(blocks, levels)):
        quiet = any(rms(b[i:i + window]) < 0.5 * tone_rms for i in range(0, len(b) - window + 1, window))
        if quiet or abs(lvl - typical) > 0.1 * typical:
            glitches.append(index)
    return glitches, len(blocks)


def own_glitches(mine, peer, slack=2):
    """Glitchy blocks of `mine` with none of `peer` within `slack` blocks: drops that the
    server did not cause (both recordings start together, a block or so apart)."""
    return [i for i in mine if not any(abs(i - j) <= slack for j in peer)]


def rms(values):
    return math.sqrt(sum(v * v for v in values) / len(values)) if values else 0.0


def tone_level(samples, rate):
    w = 2 * math.pi * TONE_HZ / rate
    coeff, s1, s2 = 2 * math.cos(w), 0.0, 0.0
    for x in samples:
        s1, s2 = x + coeff * s1 - s2, s1
    return 2 * math.sqrt(max(0.0, s1 * s1 + s2 * s2 - coeff * s1 * s2)) / len(samples)


def write_tone(path, seconds, rate=48000):
    subprocess.run(["sox", "-n", "-r", str(rate), "-c", "1", "-b", "16", path, "synth", str(seconds), "sine",
                    str(TONE_HZ), "vol", "0.3"], check=True)


def measure(seconds=60, server_kind="pulse", playing=True):
    """Figures of the helper and of parec over `seconds` of capture, started together."""
    server = PipeWireServer() if server_kind == "pipewire" else PulseServer()
    player = None
    try:
        if playing:
            path = os.path.join(server.dir, "steady.wav")
            write_tone(path, seconds + 10)
            player = subprocess.Popen(["paplay", "--latency-msec=20", path], env=server.env)
        helper = Helper("vesk-audio-tap", env=server.env)
        frames = FrameReader(helper)
        helper.send(b"start\n")
        ready = helper.read_error_event(timeout=10)
        assert ready and ready["event"] == "ready", ready
        parec = subprocess.Popen(["parec", "--format=float32le", f"--rate={server.rate}", "--channels=1", "-d",
                                  f"{server.SINK}.monitor"], env=server.env, stdout=subprocess.PIPE,
                                 stderr=subprocess.DEVNULL)
        recorded = PipeReader(parec)
        # Beside it, a bare recorder of the player's own stream, the way the helper
        # records each stream: its drops are the server's on that very path.
        stream = None
        if playing:
            inputs = server.ctl("list", "short", "sink-inputs").stdout.split()
            stream = subprocess.Popen(["parec", "--format=float32le", f"--rate={server.rate}", "--channels=1",
                                       f"--monitor-stream={inputs[0]}"], env=server.env, stdout=subprocess.PIPE,
                                      stderr=subprocess.DEVNULL) if inputs else None
        streamed = PipeReader(stream) if stream else None
        time.sleep(2)  # all settled and hearing the tone
        skip_frames, skip_bytes = len(frames.snapshot()), len(recorded.data())
        skip_stream = len(streamed.data()) if streamed else 0
        meters = {"helper": ProcessMeter(helper.proc.pid), "parec": ProcessMeter(parec.pid)}
        time.sleep(seconds)
        result = {name: meter.since_start(seconds) for name, meter in meters.items()}
        helper_samples = [s / 32768.0 for s in samples_of(frames.snapshot()[skip_frames:])]
        data = recorded.data()[skip_bytes:]
        parec_samples = struct.unpack(f"<{len(data) // 4}f", data[: len(data) // 4 * 4])
        stream_data = streamed.data()[skip_stream:] if streamed else b""
        for proc in (parec, stream):
            if proc:
                proc.kill()
                proc.wait()
        helper.kill()
        if playing:
            found = {}
            for name, samples, rate in (("helper", helper_samples, 24000), ("parec", parec_samples, server.rate)):
                found[name], blocks = glitchy_blocks(samples, rate)
                minutes = max(blocks * BLOCK_SECONDS, 1e-9) / 60
                result[name]["glitches_per_min"] = len(found[name]) / minutes
                result[name]["blocks"] = blocks
            for name, peer in (("helper", "parec"), ("parec", "helper")):
                result[name]["own_glitches_per_min"] = len(own_glitches(found[name], found[peer])) / minutes
            if stream_data:
                same_path, _ = glitchy_blocks(struct.unpack(f"<{len(stream_data) // 4}f",
                                                            stream_data[: len(stream_data) // 4 * 4]), server.rate)
                result["helper"]["stream_glitches_per_min"] = len(same_path) / minutes
                result["helper"]["own_vs_stream_per_min"] = len(own_glitches(found["helper"], same_path)) / minutes
        return result
    finally:
        if player:
            player.kill()
            player.wait()
        server.close()


def samples_of(frames):
    data = b"".join(payload for _, payload in frames)
    return struct.unpack(f"<{len(data) // 2}h", data)


def main():
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 60
    kind = sys.argv[3] if len(sys.argv) > 3 else "pulse"
    playing = (sys.argv[4] if len(sys.argv) > 4 else "playing") == "playing"
    result = measure(seconds, kind, playing)
    print(f"{kind}, {'one stream playing' if playing else 'nothing playing'}, {seconds:.0f} s")
    for name, r in result.items():
        drops = (f"   glitchy 100 ms blocks {r['glitches_per_min']:5.2f}/min"
                 f" ({r['own_glitches_per_min']:.2f}/min the other has not)") if playing else ""
        print(f"  {name:6}: CPU {100 * r['cpu']:5.2f}% of a core   wake-ups {r['wakeups']:6.1f}/s   "
              f"RSS {r['rss_kib'] / 1024:5.1f} MiB{drops}")
    h, p = result["helper"], result["parec"]
    if "stream_glitches_per_min" in h:
        print(f"  parec of the player's own stream: glitchy blocks {h['stream_glitches_per_min']:5.2f}/min; "
              f"the helper's that it has not: {h['own_vs_stream_per_min']:.2f}/min")
    print(f"  helper / parec: CPU {h['cpu'] / p['cpu']:.2f}   wake-ups {h['wakeups'] / p['wakeups']:.2f}   "
          f"RSS {h['rss_kib'] / p['rss_kib']:.2f}")


if __name__ == "__main__":
    main()
