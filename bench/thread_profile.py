"""Where an idle capturing helper's CPU goes, thread by thread: CPU time and wake-ups
(schedstat, voluntary context switches) of each thread over a window, on a private
PulseAudio server with nothing playing. As in the whole-cost bench, the server's
low-latency keeper reader is stopped first, so that the machine is as idle as a desktop
with nothing playing (a wake-up from an idle machine costs more than one from a busy one).

Usage: python3 bench/thread_profile.py [BUILD_DIR] [SECONDS] [ROUNDS]"""

import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))
os.environ.setdefault("VESK_BUILD_DIR", os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "..", "build")))

from audio_session import PulseServer  # noqa: E402
from capture_cost import helper_recorder, stop_keeper  # noqa: E402

SETTLE_SECONDS = 3


def read_threads(pid):
    """{name:tid: (cpu ns, voluntary switches)} of every thread of `pid`."""
    threads = {}
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/comm") as f:
                name = f.read().strip()
            with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
                cpu_ns = int(f.read().split()[0])
            with open(f"/proc/{pid}/task/{tid}/status") as f:
                switches = next(int(line.split()[1]) for line in f if line.startswith("voluntary_ctxt_switches:"))
            threads[f"{name}:{tid}"] = (cpu_ns, switches)
        except FileNotFoundError:
            pass  # a thread that ended between the listing and the read
    return threads


def main():
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 20
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 3
    server = PulseServer()
    try:
        stop_keeper(server)
        proc, stop = helper_recorder(server)
        time.sleep(SETTLE_SECONDS)
        for round_ in range(rounds):
            before = read_threads(proc.pid)
            time.sleep(seconds)
            after = read_threads(proc.pid)
            total = 0
            print(f"round {round_ + 1}, {seconds:.0f} s, % of a core:")
            for name, (cpu_ns, switches) in sorted(after.items()):
                cpu = cpu_ns - before.get(name, (0, 0))[0]
                wakes = switches - before.get(name, (0, 0))[1]
                total += cpu
                if cpu:
                    print(f"  {name:24} {100 * cpu / 1e9 / seconds:.4f}   {wakes / seconds:4.1f} wake-ups/s"
                          f"   {cpu / 1e3 / max(wakes, 1):6.1f} us each")
            print(f"  {'all threads':24} {100 * total / 1e9 / seconds:.4f}")
        stop()
    finally:
        server.close()


if __name__ == "__main__":
    main()
