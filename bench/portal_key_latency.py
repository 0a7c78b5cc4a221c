"""Key press to "down" latency of vesk-input-monitor through the desktop's shortcut
portal (the real portal, its KDE backend and kglobalaccel on a private bus and X
server), measured beside a bare portal client in the same run. The two own different
keys (control+space and F8), pressed in turn, so the difference is what the helper adds
to the portal's own path.

Usage: python3 bench/portal_key_latency.py [BUILD_DIR] [PRESSES]"""

import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))
build_dir = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "..", "build"))
os.environ["VESK_BUILD_DIR"] = build_dir

from host import Helper, Stream  # noqa: E402
from latency_stats import print_latency_table  # noqa: E402
from portal_session import PortalDesktop  # noqa: E402

DEADLINE = 90


def timed(x, keys, read_line, expected):
    """Milliseconds from pressing the keys to reading `expected`, then the release."""
    start = time.perf_counter()
    x.press(*keys)
    line = read_line(10)
    elapsed = (time.perf_counter() - start) * 1e3
    x.release(*reversed(keys))
    assert line == expected, line
    return elapsed


def settle(x, keys, read_line, down, up):
    """Taps until the shortcut fires (the desktop's grab may follow the session's answer),
    then lets every late answer to those taps arrive: whole down-up pairs."""
    deadline = time.monotonic() + DEADLINE
    lines = []
    while not lines and time.monotonic() < deadline:
        x.press(*keys)
        line = read_line(1.0)
        x.release(*reversed(keys))
        if line is not None:
            lines.append(line)
    assert lines, f"{keys} never fired"
    while (line := read_line(2.0)) is not None:
        lines.append(line)
    assert lines == [down, up] * max(1, len(lines) // 2), lines


def measure(presses):
    desktop = PortalDesktop(autorepeat=False)
    try:
        x = desktop.x
        helper = Helper("vesk-input-monitor", env=desktop.helper_env())
        assert helper.read_event(DEADLINE) == {"type": "permission", "trusted": True}
        assert helper.read_event(DEADLINE) == {"type": "ready", "tapCreated": True}
        helper.send_line({"cmd": "setBinding", "binding": {"mainKey": 49, "modifiers": ["control"]}})
        helper.send_line({"cmd": "checkPermission"})
        assert helper.read_event(DEADLINE) == {"type": "permission", "trusted": True}
        client = subprocess.Popen(["/usr/bin/python3", os.path.join(HERE, "portal_client.py"), "F8", "bare_F8"],
                                  env=desktop.env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        client_out = Stream(client.stdout)
        assert client_out.read_line(DEADLINE) == b"ready"
        settle(x, ("Control_L", "space"), helper.read_line, b'{"type":"down"}', b'{"type":"up"}')
        settle(x, ("F8",), client_out.read_line, b"activated", b"deactivated")
        helper_ms, bare_ms = [], []
        for _ in range(presses):
            helper_ms.append(timed(x, ("Control_L", "space"), helper.read_line, b'{"type":"down"}'))
            assert helper.read_line(10) == b'{"type":"up"}'
            bare_ms.append(timed(x, ("F8",), client_out.read_line, b"activated"))
            assert client_out.read_line(10) == b"deactivated"
        client.kill()
        client.wait()
        helper.kill()
    finally:
        desktop.close()
    return helper_ms, bare_ms


def main():
    presses = int(sys.argv[2]) if len(sys.argv) > 2 else 100
    helper_ms, bare_ms = measure(presses)
    print_latency_table(f"key press -> first line through the shortcut portal, {presses} presses (ms)",
                        (("vesk-input-monitor", helper_ms), ("bare portal client", bare_ms)))


if __name__ == "__main__":
    main()
