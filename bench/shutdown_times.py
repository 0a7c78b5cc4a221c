"""How long the helpers take to end when the host has stopped reading, measured end to
end on the real executables against a private sound server, beside the bounds they
promise: "quit" after a long stall and after a flood of unread answers, end of input
after unread answers. Run with a build folder: `python3 bench/shutdown_times.py BUILD`
(or through tools/figures.py, figure "shutdown")."""

import os
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
if len(sys.argv) > 1:
    os.environ["VESK_BUILD_DIR"] = os.path.abspath(sys.argv[1])

from audio_session import sound_server  # noqa: E402
from host import Helper  # noqa: E402
from stalled_host_e2e_test import QUIT_SECONDS, feed, wait_until_read  # noqa: E402


def timed_end(helper, end):
    began = time.monotonic()
    end()
    status = helper.wait(timeout=60)
    took = time.monotonic() - began
    helper.kill()
    if status != 0:
        raise RuntimeError(f"the helper ended with status {status}")
    return took


def quit_after_stall(server, seconds):
    """Capture with nobody reading either stream for `seconds`, then "quit"."""
    helper = Helper("vesk-audio-tap", env=server.env)
    helper.send(b"start\n")
    if (helper.read_error_event(timeout=10) or {}).get("event") != "ready":
        helper.kill()
        raise RuntimeError("no ready")
    time.sleep(seconds)
    return timed_end(helper, lambda: helper.send(b"quit\n"))


def quit_after_unread_errors(server, count):
    helper = Helper("vesk-audio-tap", env=server.env)
    feed(helper, b"bogus\n" * count).join(timeout=300)
    wait_until_read(helper, 30)  # "quit" is timed from when it can be read
    return timed_end(helper, lambda: helper.send(b"quit\n"))


def end_of_input_after_unread_answers(count):
    env = os.environ.copy()
    env.pop("DISPLAY", None)
    helper = Helper("vesk-input-monitor", env=env)
    feed(helper, b'{"cmd":"checkPermission"}\n' * count).join(timeout=300)
    return timed_end(helper, helper.close_input)


def measure(rounds=3):
    """[(what, [seconds...], bound in seconds)]."""
    server = sound_server()
    try:
        return [
            ("audio tap: quit after a 20 s stall", [quit_after_stall(server, 20) for _ in range(rounds)], QUIT_SECONDS),
            ("audio tap: quit after 300000 unread errors",
             [quit_after_unread_errors(server, 300_000) for _ in range(rounds)], QUIT_SECONDS),
            ("input monitor: end of input after 200000 unread answers",
             [end_of_input_after_unread_answers(200_000) for _ in range(rounds)], QUIT_SECONDS),
        ]
    finally:
        server.close()


def describe(times, bound):
    return (f"p50 {statistics.median(times) * 1000:.0f} ms, max {max(times) * 1000:.0f} ms",
            f"bound {bound * 1000:.0f} ms")


if __name__ == "__main__":
    for what, times, bound in measure():
        print(f"{what}: {', '.join(describe(times, bound))} ({len(times)} runs)")
