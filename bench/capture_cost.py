"""What capturing costs, beside `parec` recording the same sink's monitor, on a private
PulseAudio or PipeWire server. Two measures:

- side by side (`measure`): the helper and a parec asked for float mono at the sink's
  rate run together; CPU time, wake-ups (voluntary context switches over all
  threads), resident memory, and glitchy 100 ms blocks of a steady tone (drops);
- the whole cost (`whole_cost`): one recorder at a time, alternating over several
  rounds, each recorder's own CPU and the sound server's CPU above its idle use
  (measured between recorders), beside a parec asked for what the helper hands out
  (s16, 24000 Hz, mono).

Both read their recorders through pipes, as a host reads the helper's frames.

Usage: python3 bench/capture_cost.py [BUILD_DIR] [SECONDS] [pulse|pipewire] [playing|idle] [whole [ROUNDS]]"""

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


SERVER_BINARIES = {"pulseaudio", "pipewire", "pipewire-pulse", "wireplumber"}
SETTLE_SECONDS = 2  # a recorder's start-up, left out of its window
PAREC_AS_HELPER = ["parec", "--format=s16le", "--rate=24000", "--channels=1"]


class ServerMeter:
    """CPU time of the sound server's processes (the daemon, or PipeWire with its
    PulseAudio front end and session manager), in seconds."""

    def __init__(self, server):
        self.pids = [p.pid for p in server.procs
                     if os.path.basename(p.args[0]) in SERVER_BINARIES and p.poll() is None]

    def seconds(self):
        return sum(ProcessMeter(pid).start[0] for pid in self.pids) / 1e9


def stop_keeper(server):
    """Stops the low-latency reader the tests keep on the sink's monitor (a null sink's
    first data may come late without one): no desktop has one, it would hold the sink at
    the latency that each recorder's own request sets otherwise, and it keeps the machine
    busier than a desktop with nothing playing."""
    for keeper in [p for p in server.procs if os.path.basename(p.args[0]) == "parec"]:
        keeper.kill()
        keeper.wait()
        server.procs.remove(keeper)


def helper_recorder(server):
    helper = Helper("vesk-audio-tap", env=server.env)
    FrameReader(helper)
    helper.send(b"start\n")
    ready = helper.read_error_event(timeout=10)
    assert ready and ready["event"] == "ready", ready
    return helper.proc, helper.kill


def command_recorder(argv):
    def start(server):
        proc = subprocess.Popen([a.format(sink=server.SINK, stream=server.stream, format=server.format,
                                          rate=server.rate) for a in argv],
                                env=server.env,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        PipeReader(proc)

        def stop():
            proc.kill()
            proc.wait()
        return proc, stop
    return start


RECORDERS = {
    "helper": helper_recorder,
    "parec": command_recorder(PAREC_AS_HELPER + ["-d", "{sink}.monitor"]),
}
# The part of the helper's server share that comes with leaving processes out: one
# recording of each playing stream (the player's, here), in the format and fragment
# size the helper asks for it, by a bare recorder.
STREAM_RECORDER = command_recorder(["parec", "--format={format}", "--channels=2", "--rate={rate}",
                                    "--latency-msec=25", "--monitor-stream={stream}"])

# What handing out audio every 200 ms costs by itself, as the helper must while nothing
# plays: a parec asked for the helper's format in 200 ms pieces.
CADENCE_RECORDER = command_recorder(PAREC_AS_HELPER + ["--latency-msec=200", "-d", "{sink}.monitor"])


# What writing a frame every 200 ms costs by itself, with no audio and no server: the
# least any helper that keeps to that cadence costs while nothing plays.
FRAMES_ALONE_RECORDER = command_recorder([os.path.join(os.environ["VESK_BUILD_DIR"], "bench", "frame_cadence")])


def whole_cost(seconds=20, server_kind="pulse", playing=True, rounds=3, recorders=None, idle_seconds=8):
    """One recorder at a time, alternating (the order turns each round), each for
    `seconds` after it has settled, with the server idle for `idle_seconds` before and
    after every one: {name: [{"own": s, "server": s above idle}, ...] per round}, CPU
    seconds per second."""
    recorders = recorders or RECORDERS
    server = PipeWireServer() if server_kind == "pipewire" else PulseServer()
    server.stream = None
    # The sink's own sample format, which the helper asks for (s16le or float32le).
    sinks = [line.split("\t") for line in server.ctl("list", "short", "sinks").stdout.splitlines()]
    server.format = next((f[3].split()[0] for f in sinks if len(f) > 3 and f[1] == server.SINK), "float32le")
    stop_keeper(server)
    player = None
    try:
        if playing:
            path = os.path.join(server.dir, "steady.wav")
            total = rounds * len(recorders) * (seconds + idle_seconds + SETTLE_SECONDS + 2) + idle_seconds + 30
            write_tone(path, total)
            player = subprocess.Popen(["paplay", "--latency-msec=20", path], env=server.env)
            deadline = time.monotonic() + 10
            while not server.stream and time.monotonic() < deadline:
                server.stream = (server.ctl("list", "short", "sink-inputs").stdout.split() or [None])[0]
                time.sleep(0.1)
        meter = ServerMeter(server)
        time.sleep(SETTLE_SECONDS)

        def idle_window():
            before = meter.seconds()
            time.sleep(idle_seconds)
            return (meter.seconds() - before) / idle_seconds

        results = {name: [] for name in recorders}
        names = list(recorders)
        idle = idle_window()
        for round_ in range(rounds):
            for name in names[round_ % len(names):] + names[:round_ % len(names)]:
                proc, stop = recorders[name](server)
                time.sleep(SETTLE_SECONDS)
                own, served = ProcessMeter(proc.pid), meter.seconds()
                time.sleep(seconds)
                own_cpu, served = own.since_start(seconds)["cpu"], (meter.seconds() - served) / seconds
                stop()
                time.sleep(1)
                idle_after = idle_window()
                results[name].append({"own": own_cpu, "server": served - (idle + idle_after) / 2,
                                      "idle": (idle + idle_after) / 2})
                idle = idle_after
        return results
    finally:
        if player:
            player.kill()
            player.wait()
        server.close()


def summary(runs):
    """Means over the rounds of a recorder's own CPU, its server share and their total,
    and the total's range."""
    totals = [r["own"] + r["server"] for r in runs]
    mean = lambda key: sum(r[key] for r in runs) / len(runs)  # noqa: E731
    return {"own": mean("own"), "server": mean("server"), "idle": mean("idle"), "total": sum(totals) / len(totals),
            "low": min(totals), "high": max(totals)}


def print_whole_cost(kind, playing, seconds, rounds, results):
    print(f"{kind}, {'one stream playing' if playing else 'nothing playing'}: one recorder at a time, "
          f"{rounds} rounds of {seconds:.0f} s; CPU in % of a core")
    for name, runs in results.items():
        s = summary(runs)
        print(f"  {name:13}: own {100 * s['own']:5.2f}   server above idle {100 * s['server']:5.2f}   "
              f"total {100 * s['total']:5.2f} ({100 * s['low']:.2f}-{100 * s['high']:.2f})   "
              f"server idle {100 * s['idle']:.2f}")
    ratios = [(h["own"] + h["server"]) / (p["own"] + p["server"]) for h, p in zip(results["helper"], results["parec"])]
    print(f"  helper / parec, total: {summary(results['helper'])['total'] / summary(results['parec'])['total']:.2f}"
          f" (rounds {', '.join(f'{r:.2f}' for r in ratios)})")


def main():
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 60
    kind = sys.argv[3] if len(sys.argv) > 3 else "pulse"
    playing = (sys.argv[4] if len(sys.argv) > 4 else "playing") == "playing"
    if len(sys.argv) > 5 and sys.argv[5] == "whole":
        rounds = int(sys.argv[6]) if len(sys.argv) > 6 else 3
        recorders = dict(RECORDERS, **({"player stream": STREAM_RECORDER} if playing else
                                       {"parec 200 ms": CADENCE_RECORDER, "frames alone": FRAMES_ALONE_RECORDER}))
        print_whole_cost(kind, playing, seconds, rounds, whole_cost(seconds, kind, playing, rounds, recorders))
        return
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
