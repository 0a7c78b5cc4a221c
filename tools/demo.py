"""Drives the built helpers as the host application would and prints every line
exchanged. Run through tools/demo.sh."""

import json
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))
from host import Helper  # noqa: E402


def show(direction, text):
    print(f"  {direction} {text}")


def input_monitor_session():
    print("vesk-input-monitor")
    helper = Helper("vesk-input-monitor")
    try:
        for _ in range(2):
            show("<-", helper.read_line().decode())
        commands = [
            {"cmd": "setBinding", "binding": {"mainKey": 49, "modifiers": ["control"]}},
            {"cmd": "checkPermission"},
            "this line is not JSON and gets no answer",
            {"cmd": "setMode", "mode": "record"},
            {"cmd": "setMode", "mode": "listen"},
            {"cmd": "requestPermission"},
        ]
        for command in commands:
            text = command if isinstance(command, str) else json.dumps(command, separators=(",", ":"))
            show("->", text)
            helper.send_line(text)
            if isinstance(command, dict) and command["cmd"].endswith("Permission"):
                show("<-", helper.read_line().decode())
        show("->", "(end of input)")
        helper.close_input()
        print(f"  exit status {helper.wait()}")
    finally:
        helper.kill()


def main():
    input_monitor_session()


if __name__ == "__main__":
    main()
