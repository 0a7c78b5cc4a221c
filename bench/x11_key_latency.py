"""Key press to "down" latency of vesk-input-monitor on a private X server, measured
beside a bare XInput2 raw-event listener in the same run: the same XTest press is seen
by both, so the difference is what the monitor adds.

Usage: python3 bench/x11_key_latency.py [BUILD_DIR] [PRESSES]"""

import os
import select
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))
build_dir = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "..", "build"))
os.environ["VESK_BUILD_DIR"] = build_dir

from host import Helper  # noqa: E402
from latency_stats import print_latency_table  # noqa: E402
from x11_session import KeyClient, XServer  # noqa: E402


def first_lines(helper, listener, start):
    """Waits for one line from each and returns (monitor ms, listener ms) since start,
    each stamped when its line arrived."""
    readers = {helper.proc.stdout.fileno(): "monitor", listener.proc.stdout.fileno(): "listener"}
    buffers = {"monitor": b"", "listener": b""}
    stamps = {}
    while len(stamps) < 2:
        ready, _, _ = select.select([fd for fd, who in readers.items() if who not in stamps], [], [], 5)
        assert ready, f"timed out; saw {buffers}"
        now = time.perf_counter()
        for fd in ready:
            who = readers[fd]
            buffers[who] += os.read(fd, 4096)
            if b"\n" in buffers[who]:
                stamps[who] = (now - start) * 1e3
    assert buffers["monitor"] == b'{"type":"down"}\n', buffers
    assert buffers["listener"].startswith(b"press"), buffers
    return stamps["monitor"], stamps["listener"]


def measure(presses):
    """Milliseconds from each XTest press to the helper's "down" and to the bare
    listener's line."""
    x = XServer()
    try:
        listener = KeyClient(x, program=[os.path.join(build_dir, "bench", "xi2_listener")])
        assert listener.read_line() == "ready"
        helper = Helper("vesk-input-monitor", env=x.env)
        assert helper.read_event()["type"] == "permission"
        assert helper.read_event() == {"type": "ready", "tapCreated": True}
        helper.send_line({"cmd": "setBinding", "binding": {"mainKey": 49, "modifiers": []}})
        time.sleep(0.3)
        monitor_ms, listener_ms = [], []
        for _ in range(presses):
            start = time.perf_counter()
            x.press("space")
            monitor, bare = first_lines(helper, listener, start)
            monitor_ms.append(monitor)
            listener_ms.append(bare)
            x.release("space")
            assert helper.read_line() == b'{"type":"up"}'
            time.sleep(0.002)
        helper.close_input()
        helper.wait()
        listener.stop()
    finally:
        x.stop()
    return monitor_ms, listener_ms


def main():
    presses = int(sys.argv[2]) if len(sys.argv) > 2 else 300
    monitor_ms, listener_ms = measure(presses)
    print_latency_table(f"XTest press -> first line, {presses} presses (ms)",
                        (("vesk-input-monitor", monitor_ms), ("bare XI2 listener", listener_ms)))


if __name__ == "__main__":
    main()
