"""Every performance figure of the project in one table, each measured beside its peer
in the same run where there is one, with their ratio. Run through tools/figures.sh
(release build); `tools/figures.py BUILD_DIR [figure ...]` runs only the figures named
(handle, keys, portal, pipeline, quality, latency, memory,
cost, shutdown)."""

import json
import os
import re
import statistics
import subprocess
import sys
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build-release"))
os.environ["VESK_BUILD_DIR"] = BUILD
SELECTED = sys.argv[2:]
sys.argv = [sys.argv[0], BUILD]
sys.path.insert(0, os.path.join(ROOT, "tests"))
sys.path.insert(0, os.path.join(ROOT, "bench"))

import capture_cost  # noqa: E402
import capture_latency  # noqa: E402
import pipeline_vs_sox  # noqa: E402
import portal_key_latency  # noqa: E402
import shutdown_times  # noqa: E402
import x11_key_latency  # noqa: E402
from latency_stats import percentile as p  # noqa: E402
from host import Helper  # noqa: E402
from x11_session import XServer  # noqa: E402

rows = []


def row(figure, vesk, peer="", note=""):
    rows.append((figure, vesk, peer, note))
    print(f"  measured: {figure}: {vesk} {peer}", file=sys.stderr)


def handle_cost():
    out = subprocess.run([os.path.join(BUILD, "bench", "input_monitor_bench"), "--benchmark_format=json"],
                         capture_output=True, text=True, check=True)
    for bench in json.loads(out.stdout)["benchmarks"]:
        name = {"BM_HandleNonMatchingKey": "handle(), key outside the binding",
                "BM_HandlePressReleasePair": "handle(), press+release of the binding"}[bench["name"]]
        row(name, f"{bench['time/event'] * 1e9:.1f} ns/event, {bench['allocs/event']:.1f} allocs/event")


def key_latency():
    monitor, bare = x11_key_latency.measure(300)
    row("XTest press -> line (p50 / p95)", f"{statistics.median(monitor):.2f} / {p(monitor, 95):.2f} ms",
        f"bare XI2 listener {statistics.median(bare):.2f} / {p(bare, 95):.2f} ms")


def portal_key_latency_row():
    if not os.path.exists("/usr/share/dbus-1/services/org.freedesktop.impl.portal.desktop.kde.service"):
        row("key press -> line through the shortcut portal", "not measured", "", "portal stack not installed")
        return
    monitor, bare = portal_key_latency.measure(100)
    row("key press -> line through the shortcut portal (p50 / p95)",
        f"{statistics.median(monitor):.2f} / {p(monitor, 95):.2f} ms",
        f"bare portal client {statistics.median(bare):.2f} / {p(bare, 95):.2f} ms", "KDE backend, kglobalaccel, Xvfb")


def pipeline():
    mine, sox = pipeline_vs_sox.measure()
    row("conversion + chunking throughput (per CPU s)", f"{mine:.0f} x real time", f"sox rate -h {sox:.0f} x",
        f"ratio {mine / sox:.2f}")


def quality():
    out = subprocess.run([os.path.join(BUILD, "bench", "resampler_quality")], capture_output=True, text=True,
                         check=True).stdout
    thd = re.search(r"THD\+N.*: (-?[\d.]+) dB", out).group(1)
    alias = re.search(r"alias rejection.*: (-?[\d.]+) dB \(worst at (\d+) Hz\)", out)
    row("resampling THD+N, 1 kHz at -6 dBFS", f"{thd} dB", "", "16-bit output")
    zeros = ", every output sample 0" if float(alias.group(1)) > 200 else ""  # below half a 16-bit step
    row("alias rejection, 13-20 kHz input", f"{alias.group(1)} dB", "", f"worst at {alias.group(2)} Hz{zeros}")


def capture():
    latencies = capture_latency.measure(30)
    row("tone onset -> frame (p50 / p95)", f"{statistics.median(latencies):.0f} / {p(latencies, 95):.0f} ms",
        "after a bare parec", "frames are 200 ms")


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        fields = dict(line.split(":", 1) for line in status)
    return int(fields["VmRSS"].split()[0]), int(fields["VmHWM"].split()[0])


def memory():
    x = XServer()
    try:
        helper = Helper("vesk-input-monitor", env=x.env)
        helper.read_event(), helper.read_event()
        helper.send_line({"cmd": "setBinding", "binding": {"mainKey": 49, "modifiers": ["control"]}})
        time.sleep(1)
        rss, peak = rss_kib(helper.proc.pid)
        helper.kill()
    finally:
        x.stop()
    row("RSS of vesk-input-monitor (X11, bound, idle)", f"{rss / 1024:.1f} MiB", "", f"peak {peak / 1024:.1f} MiB")


def whole_cost():
    """The helper's CPU plus the server's above idle, one recorder at a time, beside a
    parec asked for the helper's own output format; and, with a stream playing, what
    the server is asked for by one bare recording of that stream as the helper asks
    for it (the part of the cost that leaving processes out brings)."""
    rounds, seconds = 3, 20
    for server, label, playing in (("pulse", "one stream playing", True), ("pulse", "nothing playing", False),
                                   ("pipewire", "one stream playing", True), ("pipewire", "nothing playing", False)):
        recorders = dict(capture_cost.RECORDERS, **({"stream": capture_cost.STREAM_RECORDER} if playing else
                                                    {"cadence": capture_cost.CADENCE_RECORDER,
                                                     "frames": capture_cost.FRAMES_ALONE_RECORDER}))
        r = {name: capture_cost.summary(runs)
             for name, runs in capture_cost.whole_cost(seconds, server, playing, rounds, recorders).items()}
        h, p = r["helper"], r["parec"]
        name = "PipeWire" if server == "pipewire" else "PulseAudio"
        row(f"whole CPU, {label} ({name}): helper + server above idle", f"{100 * h['total']:.2f}% of a core "
            f"({100 * h['own']:.2f} + {100 * h['server']:.2f})",
            f"parec s16/24 kHz/mono {100 * p['total']:.2f}% ({100 * p['own']:.2f} + {100 * p['server']:.2f})",
            f"ratio {h['total'] / p['total']:.2f}; {rounds} rounds of {seconds} s, one at a time")
        if playing:
            row(f"  of it, one bare recording of the playing stream ({name})", f"{100 * r['stream']['total']:.2f}%"
                f" ({100 * r['stream']['own']:.2f} + {100 * r['stream']['server']:.2f})", "", "parec, as the helper asks")
        else:
            row(f"  of it, audio handed out every 200 ms ({name})", f"{100 * r['cadence']['total']:.2f}%"
                f" ({100 * r['cadence']['own']:.2f} + {100 * r['cadence']['server']:.2f})", "",
                "parec s16/24 kHz/mono in 200 ms pieces")
            row(f"  of it, a frame written every 200 ms and nothing else ({name})",
                f"{100 * r['frames']['total']:.2f}%", "", "bench/frame_cadence: no audio, no server")


def cost():
    whole_cost()
    playing = capture_cost.measure(60, "pulse", playing=True)
    idle = capture_cost.measure(60, "pulse", playing=False)
    pipewire = capture_cost.measure(60, "pipewire", playing=True)
    for label, r in (("one stream playing", playing), ("nothing playing", idle)):
        h, p = r["helper"], r["parec"]
        row(f"helper's own CPU over 60 s, {label} (PulseAudio)", f"{100 * h['cpu']:.2f}% of a core",
            f"parec float/48 kHz/mono, concurrently {100 * p['cpu']:.2f}%", f"ratio {h['cpu'] / p['cpu']:.2f}")
        row(f"wake-ups, {label} (all threads)", f"{h['wakeups']:.0f}/s", f"parec {p['wakeups']:.0f}/s",
            f"ratio {h['wakeups'] / p['wakeups']:.2f}")
    h, p = playing["helper"], playing["parec"]
    row("RSS of vesk-audio-tap (capturing)", f"{h['rss_kib'] / 1024:.1f} MiB", f"parec {p['rss_kib'] / 1024:.1f} MiB",
        f"ratio {h['rss_kib'] / p['rss_kib']:.2f}")
    for server, r in (("PulseAudio", playing), ("PipeWire", pipewire)):
        h, p = r["helper"], r["parec"]
        row(f"glitchy 100 ms blocks of a tone ({server})", f"{h['glitches_per_min']:.2f}/min",
            f"parec {p['glitches_per_min']:.2f}/min",
            f"difference {h['glitches_per_min'] - p['glitches_per_min']:+.2f}; not in the other within 0.2 s: "
            f"helper {h['own_glitches_per_min']:.2f}, parec {p['own_glitches_per_min']:.2f}")
        if "stream_glitches_per_min" in h:
            row(f"  the same, parec of the player's stream ({server})", f"{h['glitches_per_min']:.2f}/min",
                f"parec {h['stream_glitches_per_min']:.2f}/min",
                f"difference {h['glitches_per_min'] - h['stream_glitches_per_min']:+.2f}; "
                f"helper's not in it: {h['own_vs_stream_per_min']:.2f}")


def shutdown():
    for what, times, bound in shutdown_times.measure():
        vesk, limit = shutdown_times.describe(times, bound)
        row(what, vesk, "", f"{limit}, {len(times)} runs")


def main():
    measures = {"handle": handle_cost, "keys": key_latency, "portal": portal_key_latency_row, "pipeline": pipeline,
                "quality": quality, "latency": capture, "memory": memory, "cost": cost,
                "shutdown": shutdown}
    for name, measure in measures.items():
        if not SELECTED or name in SELECTED:
            measure()
    widths = [max(len(r[i]) for r in rows + [("figure", "vesk", "peer, same run", "")]) for i in range(4)]
    line = lambda cells: "| " + " | ".join(c.ljust(w) for c, w in zip(cells, widths)) + " |"  # noqa: E731
    print(line(("figure", "vesk", "peer, same run", "")))
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for r in rows:
        print(line(r))


if __name__ == "__main__":
    main()
