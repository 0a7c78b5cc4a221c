"""End-to-end tests of vesk-input-monitor on a private X server: keys typed through
XTest, the helper driven over its standard streams, and a focused client that must
see exactly the keys the helper does not swallow."""

import time
import unittest

from host import Helper
from x11_session import CONTROL_MASK, KeyClient, XServer, wait_for_grab

MARKER_KEY = "z"


def binding(main_key=None, modifiers=()):
    b = {"modifiers": list(modifiers)}
    if main_key is not None:
        b["mainKey"] = main_key
    return {"cmd": "setBinding", "binding": b}


class X11Test(unittest.TestCase):
    def setUp(self):
        self.x = XServer()
        self.addCleanup(self.x.stop)
        self.helper = Helper("vesk-input-monitor", env=self.x.env)
        self.addCleanup(self.helper.kill)
        self.assertEqual(self.helper.read_event(), {"type": "permission", "trusted": True})
        self.assertEqual(self.helper.read_event(), {"type": "ready", "tapCreated": True})

    def command(self, obj):
        """Sends a command and waits until it has taken effect: the answer to a probe
        that follows it means the reader has run it, and grabs that the event thread
        puts in place are waited for on the server."""
        self.helper.send_line(obj)
        self.expect_silence()
        if obj.get("cmd") == "setMode":
            state = "taken" if obj.get("mode") == "record" else "free"
            self.assertTrue(wait_for_grab(self.x, state, "probe-keyboard"), f"keyboard grab not {state}")
        elif obj.get("cmd") == "setBinding":
            binding = obj.get("binding") or {}
            key = {49: "space", 0: "a"}.get(binding.get("mainKey"))
            if key:
                mask = CONTROL_MASK if binding.get("modifiers") == ["control"] else 0
                self.assertTrue(wait_for_grab(self.x, "taken", "probe", key, str(mask)), "key grab not in place")
            else:
                for key, mask in (("space", CONTROL_MASK), ("space", 0)):
                    self.assertTrue(wait_for_grab(self.x, "free", "probe", key, str(mask)), "key grab left behind")

    def expect(self, *types, timeout=3.0):
        for t in types:
            event = self.helper.read_event(timeout)
            self.assertIsNotNone(event, f"expected {t!r}")
            self.assertEqual(event.get("type"), t, event)

    def expect_silence(self):
        """Nothing but the answer to a permission probe comes next."""
        self.helper.send_line({"cmd": "checkPermission"})
        self.assertEqual(self.helper.read_event(), {"type": "permission", "trusted": True})

    def focused_client(self):
        client = KeyClient(self.x)
        self.addCleanup(client.stop)
        self.assertEqual(client.read_line(), "ready")
        return client


class PushToTalkTest(X11Test):
    def test_control_space(self):
        self.command(binding(49, ["control"]))
        self.x.press("Control_L", "space")
        self.expect("down")
        self.x.press("space")  # autorepeat
        self.x.press("space")
        self.x.release("space")
        self.expect("up")
        self.x.release("Control_L")
        self.expect_silence()

    def test_releasing_the_modifier_first_ends_the_hold(self):
        self.command(binding(49, ["control"]))
        self.x.press("Control_L", "space")
        self.expect("down")
        self.x.release("Control_L")
        self.expect("up")
        self.x.release("space")
        self.expect_silence()

    def test_control_option_modifiers_only(self):
        self.command(binding(None, ["control", "option"]))
        self.x.press("Control_L")
        self.x.press("Alt_L")
        self.expect("down")
        self.x.tap("a")
        self.x.release("Control_L")
        self.expect("up")
        self.x.release("Alt_L")
        self.expect_silence()

    def test_right_option_alone(self):
        self.command(binding(61))
        self.x.tap("Alt_L")
        self.x.press("Alt_R")
        self.expect("down")
        self.x.release("Alt_R")
        self.expect("up")
        self.expect_silence()

    def test_set_binding_during_a_hold_writes_no_up(self):
        self.command(binding(49, ["control"]))
        self.x.press("Control_L", "space")
        self.expect("down")
        self.command(binding(49, ["control"]))
        self.x.release("space", "Control_L")
        time.sleep(0.5)  # two watchdog ticks
        self.expect_silence()
        self.x.press("Control_L", "space")
        self.expect("down")
        self.x.release("space")
        self.expect("up")

    def test_keys_outside_the_binding_write_nothing(self):
        self.command(binding(49, ["control"]))
        self.x.tap("space")
        self.x.tap("Shift_L", "space")
        self.x.tap("Control_L", "a")
        self.x.tap("Super_L")
        self.expect_silence()

    def test_unbound_helper_writes_nothing(self):
        self.x.tap("Control_L", "space")
        self.x.tap("Alt_R")
        self.expect_silence()


class SwallowingTest(X11Test):
    def test_focused_client_misses_only_the_swallowed_combination(self):
        client = self.focused_client()
        self.command(binding(49, ["control"]))
        self.x.tap("a")
        self.x.press("Control_L", "space")
        self.expect("down")
        self.x.press("space")
        self.x.release("space")
        self.expect("up")
        self.x.release("Control_L")
        self.x.tap("space")  # without control: passes
        self.x.tap(MARKER_KEY)
        self.assertEqual(
            client.lines_until(f"release {MARKER_KEY}"),
            [
                "press a",
                "release a",
                "press Control_L",
                "release Control_L",
                "press space",
                "release space",
                f"press {MARKER_KEY}",
                f"release {MARKER_KEY}",
            ],
        )

    def test_grabs_follow_the_binding(self):
        client = self.focused_client()
        self.command(binding(49, ["control"]))
        self.command({"cmd": "setBinding"})  # cleared: nothing is swallowed
        self.x.tap("Control_L", "space")
        self.x.tap(MARKER_KEY)
        lines = client.lines_until(f"release {MARKER_KEY}")
        self.assertIn("press space", lines)
        self.expect_silence()

    def test_modifier_bindings_swallow_nothing(self):
        client = self.focused_client()
        self.command(binding(61))
        self.x.tap("Alt_R")
        self.expect("down", "up")
        self.x.tap(MARKER_KEY)
        self.assertEqual(client.lines_until(f"release {MARKER_KEY}")[:2], ["press Alt_R", "release Alt_R"])

    def test_a_grab_held_by_another_client_leaves_the_binding_observing(self):
        other = KeyClient(self.x, "grab", "space")
        self.addCleanup(other.stop)
        self.assertEqual(other.read_line(), "grabbed")
        self.command(binding(49, ["control"]))
        self.x.press("Control_L", "space")
        self.expect("down")
        self.x.release("space", "Control_L")
        self.expect("up")
        self.assertIsNone(self.helper.proc.poll())


class RecordTest(X11Test):
    def recorded(self):
        event = self.helper.read_event()
        self.assertIsNotNone(event)
        self.assertEqual(event["type"], "recorded", event)
        return event["binding"]

    def test_control_space(self):
        self.command({"cmd": "setMode", "mode": "record"})
        self.x.tap("Control_L", "space")
        self.assertEqual(
            self.recorded(), {"mainKey": 49, "modifiers": ["control"], "label": "\u2303 + Space"}
        )
        self.expect_silence()

    def test_command_alone(self):
        self.command({"cmd": "setMode", "mode": "record"})
        self.x.tap("Super_L")
        self.assertEqual(self.recorded(), {"mainKey": None, "modifiers": ["command"], "label": "\u2318"})

    def test_recording_hides_the_key_then_gives_the_keyboard_back(self):
        client = self.focused_client()
        self.command({"cmd": "setMode", "mode": "record"})
        self.x.press("b")
        self.assertEqual(self.recorded(), {"mainKey": 11, "modifiers": [], "label": "B"})
        self.assertTrue(wait_for_grab(self.x, "free", "probe-keyboard"))
        self.x.release("b")
        self.x.tap(MARKER_KEY)
        self.assertEqual(
            client.lines_until(f"release {MARKER_KEY}"),
            ["release b", f"press {MARKER_KEY}", f"release {MARKER_KEY}"],
        )

    def test_keys_without_a_name_label_by_code(self):
        self.command({"cmd": "setMode", "mode": "record"})
        self.x.tap("Pause")  # no macOS position: an unmapped code
        recorded = self.recorded()
        self.assertGreaterEqual(recorded["mainKey"], 256)
        self.assertEqual(recorded["label"], f"key{recorded['mainKey']}")


class ServerLossTest(X11Test):
    def test_helper_outlives_its_x_server(self):
        self.command(binding(49, ["control"]))
        self.x.press("Control_L", "space")
        self.expect("down")
        self.x.stop()
        # The watchdog finds nothing held any more.
        self.expect("up")
        self.helper.send_line({"cmd": "checkPermission"})
        self.assertEqual(self.helper.read_event(), {"type": "permission", "trusted": False})
        self.helper.send_line(binding(0, ["command"]))
        self.helper.send_line({"cmd": "setMode", "mode": "record"})
        self.helper.send_line({"cmd": "checkPermission"})
        self.assertEqual(self.helper.read_event(), {"type": "permission", "trusted": False})
        self.helper.close_input()
        self.assertEqual(self.helper.wait(), 0)


if __name__ == "__main__":
    unittest.main()
