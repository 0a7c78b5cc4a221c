"""Unit test of the end-to-end tests' platform choice; runs anywhere."""

import unittest

from platform_choice import choose, missing_tools


class PlatformChoiceTest(unittest.TestCase):
    def test_each_system_gets_its_own_tools(self):
        everything = lambda tool: f"/usr/bin/{tool}"
        nothing = lambda tool: None
        cases = [
            # system, which, name, private servers, player, recorder, speaker
            ("Darwin", everything, "macos", False, "afplay", "afrecord", ["say"]),
            ("Darwin", nothing, "macos", False, "afplay", "afrecord", None),
            ("Linux", everything, "linux", True, "paplay", "parec", None),
            ("FreeBSD", everything, "linux", True, "paplay", "parec", None),
        ]
        for system, which, name, private, player, recorder, speaker in cases:
            chosen = choose(system, which)
            self.assertEqual(chosen.name, name, system)
            self.assertEqual(chosen.is_mac, name == "macos", system)
            self.assertEqual(chosen.private_servers, private, system)
            self.assertEqual(chosen.player[0], player, system)
            self.assertEqual(chosen.recorder[0], recorder, system)
            self.assertEqual(chosen.speaker, speaker, system)

    def test_missing_tools_are_named(self):
        mac = choose("Darwin", lambda tool: "/usr/bin/say")
        self.assertEqual(missing_tools(mac, lambda tool: None), ["afplay", "afrecord", "say"])
        self.assertEqual(missing_tools(mac, lambda tool: tool != "afrecord" or None), ["afrecord"])
        self.assertEqual(missing_tools(choose("Linux"), lambda tool: "/bin/" + tool), [])


if __name__ == "__main__":
    unittest.main()
