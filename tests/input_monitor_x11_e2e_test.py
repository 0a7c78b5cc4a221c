"""End-to-end tests of vesk-input-monitor on a private X server: keys typed through
XTest, the helper driven over its standard streams, and a focused client that must
see exactly the keys the helper does not swallow."""

import os
import socket
import tempfile
import time
import unittest

from host import Helper, time_limit
from x11_session import CONTROL_MASK, KeyClient, XServer, wait_for_grab

MARKER_KEY = "z"
CAPS_LOCK_KEYCODE = 66
# The server's own autorepeat would add presses whenever a loaded machine holds a key
# longer than the repeat delay; the tests type their repeats.
NO_AUTOREPEAT = ("-r",)


def binding(main_key=None, modifiers=()):
    b = {"modifiers": list(modifiers)}
    if main_key is not None:
        b["mainKey"] = main_key
    return {"cmd": "setBinding", "binding": b}


class X11Test(unittest.TestCase):
    def setUp(self):
        self.x = XServer(NO_AUTOREPEAT)
        self.addCleanup(self.x.stop)
        self.start_helper()

    def start_helper(self):
        self.helper = Helper("vesk-input-monitor", env=self.x.env)
        self.addCleanup(self.helper.kill)
        self.addCleanup(self.assert_stderr_silent)
        self.assertEqual(self.helper.read_event(), {"type": "permission", "trusted": True})
        self.assertEqual(self.helper.read_event(), {"type": "ready", "tapCreated": True})

    def assert_stderr_silent(self):
        """Nothing was ever written on standard error (a sanitizer's report included)."""
        if self.helper.proc.poll() is None:
            self.helper.proc.kill()
            self.helper.proc.wait()
        self.assertEqual(self.helper.proc.stderr.read(), b"")

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

    def expect(self, *types, timeout=time_limit(3.0)):
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
    def test_focused_client_misses_only_the_bound_key(self):
        client = self.focused_client()
        self.command(binding(49, ["control"]))
        self.x.tap("a")
        self.x.press("Control_L", "space")
        self.expect("down")
        self.x.press("space")  # autorepeat
        self.x.release("space")
        self.expect("up")
        self.x.release("Control_L")
        self.x.tap("space")  # without control: passes
        self.x.tap(MARKER_KEY)
        self.assertEqual(
            client.keys_until(f"release {MARKER_KEY}"),
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

    def test_keys_typed_during_a_hold_reach_the_focused_client(self):
        client = self.focused_client()
        self.command(binding(49, ["control"]))
        self.x.press("Control_L", "space")
        self.expect("down")
        self.x.tap("a")
        self.x.press("space")  # autorepeat between other keys: reaches nobody
        self.x.tap("Shift_L", "b")
        self.x.press("space")
        self.x.release("space")  # the grab ended with the first other key: X lets it through
        self.expect("up")
        self.x.release("Control_L")
        self.x.tap(MARKER_KEY)
        shift = 1
        self.assertEqual(
            client.lines_until(f"release {MARKER_KEY}"),
            [
                "press Control_L 0",
                f"press a {CONTROL_MASK}",
                f"release a {CONTROL_MASK}",
                f"press Shift_L {CONTROL_MASK}",
                f"press b {CONTROL_MASK | shift}",
                f"release b {CONTROL_MASK | shift}",
                f"release Shift_L {CONTROL_MASK | shift}",
                f"release space {CONTROL_MASK}",
                f"release Control_L {CONTROL_MASK}",
                f"press {MARKER_KEY} 0",
                f"release {MARKER_KEY} 0",
            ],
        )
        self.expect_silence()

    def test_a_modifier_released_during_a_hold_reaches_the_focused_client(self):
        client = self.focused_client()
        self.command(binding(49, ["control"]))
        self.x.press("Control_L", "space")
        self.expect("down")
        self.x.release("Control_L")
        self.expect("up")
        self.x.release("space")  # no longer the binding: passes
        self.x.tap(MARKER_KEY)
        self.assertEqual(
            client.lines_until(f"release {MARKER_KEY}"),
            [
                "press Control_L 0",
                f"release Control_L {CONTROL_MASK}",
                "release space 0",
                f"press {MARKER_KEY} 0",
                f"release {MARKER_KEY} 0",
            ],
        )
        self.expect_silence()

    def test_grabs_follow_the_binding(self):
        client = self.focused_client()
        self.command(binding(49, ["control"]))
        self.command({"cmd": "setBinding"})  # cleared: nothing is swallowed
        self.x.tap("Control_L", "space")
        self.x.tap(MARKER_KEY)
        self.assertIn("press space", client.keys_until(f"release {MARKER_KEY}"))
        self.expect_silence()

    def test_modifier_bindings_swallow_nothing(self):
        client = self.focused_client()
        self.command(binding(61))
        self.x.tap("Alt_R")
        self.expect("down", "up")
        self.x.tap(MARKER_KEY)
        self.assertEqual(client.keys_until(f"release {MARKER_KEY}")[:2], ["press Alt_R", "release Alt_R"])

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


class ServerStateTest(X11Test):
    """The flags are the server's modifier state, whatever keys the helper saw go down."""

    def setUp(self):
        self.x = XServer(NO_AUTOREPEAT)
        self.addCleanup(self.x.stop)

    def assert_control_space_works(self):
        client = self.focused_client()
        self.command(binding(49, ["control"]))
        self.x.press("space")
        self.expect("down")
        self.x.release("space")
        self.expect("up")
        self.x.tap(MARKER_KEY)
        self.assertNotIn("press space", client.keys_until(f"release {MARKER_KEY}"))

    def test_a_modifier_held_before_the_helper_started(self):
        self.x.press("Control_L")
        self.start_helper()
        self.assert_control_space_works()

    def test_a_locked_modifier(self):
        self.start_helper()
        self.x.lock_modifiers(CONTROL_MASK)
        self.assert_control_space_works()

    def test_caps_lock_acting_as_control(self):
        self.start_helper()
        self.x.setxkbmap("-option", "ctrl:nocaps")
        self.x.press(CAPS_LOCK_KEYCODE)
        self.assert_control_space_works()


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
            client.keys_until(f"release {MARKER_KEY}"),
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


class RefusedConnectionTest(unittest.TestCase):
    def test_standard_error_stays_silent(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        locked = XServer(auth_file=os.path.join(tmp.name, "cookie"))
        self.addCleanup(locked.stop)
        refusing = socket.socket(socket.AF_UNIX)  # bound, never listening
        self.addCleanup(refusing.close)
        refusing.bind(os.path.join(tmp.name, "x"))
        displays = {
            "access control, no cookie": dict(locked.env, XAUTHORITY=os.path.join(tmp.name, "none")),
            "a socket that refuses": dict(os.environ, DISPLAY=os.path.join(tmp.name, "x") + ":0"),
        }
        for name, env in displays.items():
            with self.subTest(name):
                helper = Helper("vesk-input-monitor", env=env)
                self.addCleanup(helper.kill)
                self.assertEqual(helper.read_event(), {"type": "permission", "trusted": False})
                self.assertEqual(helper.read_event(), {"type": "ready", "tapCreated": False})
                helper.close_input()
                self.assertEqual(helper.wait(), 0)
                self.assertEqual(helper.proc.stderr.read(), b"")


if __name__ == "__main__":
    unittest.main()
