"""Drives the built helpers as the host application would, against a private virtual
display, and prints every line exchanged. Run through tools/demo.sh."""

import json
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))
from host import Helper  # noqa: E402
from x11_session import XServer  # noqa: E402


class Session:
    def __init__(self, helper):
        self.helper = helper

    def receive(self, timeout=1.0):
        """Prints every line the helper writes within `timeout`."""
        while (line := self.helper.read_line(timeout)) is not None:
            print(f"  <- {line.decode()}")
            timeout = 0.2

    def send(self, command):
        text = json.dumps(command, ensure_ascii=False, separators=(",", ":"))
        print(f"  -> {text}")
        self.helper.send_line(text)
        time.sleep(0.3)


def type_keys(x, description, action):
    print(f"     ({description})")
    action()


def input_monitor_session():
    print("vesk-input-monitor on a private X server, keys typed through XTest")
    x = XServer()
    helper = Helper("vesk-input-monitor", env=x.env)
    s = Session(helper)
    try:
        s.receive()
        s.send({"cmd": "setBinding", "binding": {"mainKey": 49, "modifiers": ["control"]}})
        type_keys(x, "control+space pressed, space autorepeats, released", lambda: (
            x.press("Control_L", "space"), x.press("space"), x.press("space"),
            x.release("space", "Control_L")))
        s.receive()
        type_keys(x, "space alone, then A: not the binding, nothing to report", lambda: (
            x.tap("space"), x.tap("a")))
        s.receive(0.5)
        s.send({"cmd": "setBinding", "binding": {"modifiers": ["control", "option"]}})
        type_keys(x, "control, then option, then both released", lambda: (
            x.press("Control_L"), x.press("Alt_L"), x.release("Alt_L", "Control_L")))
        s.receive()
        s.send({"cmd": "setMode", "mode": "record"})
        type_keys(x, "command+shift+F5", lambda: x.tap("Super_L", "Shift_L", "F5"))
        s.receive()
        s.send({"cmd": "setMode", "mode": "record"})
        type_keys(x, "right option pressed and released alone", lambda: x.tap("Alt_R"))
        s.receive()
        s.send({"cmd": "checkPermission"})
        s.receive()
        print("  -> (end of input)")
        helper.close_input()
        print(f"  exit status {helper.wait()}")
    finally:
        helper.kill()
        x.stop()


def main():
    input_monitor_session()


if __name__ == "__main__":
    main()
