"""Which machine the end-to-end tests drive the helpers on, and with what.

On Linux they run against private servers (Xvfb, PulseAudio or PipeWire) that the tests
start themselves. On a Mac there is nothing private to start: the helpers meet the
real default devices, sound comes from the system's own players (afplay with generated
tones, say for speech) and microphone use from its own recorder (afrecord); whatever
needs a permission this terminal has not been granted is skipped with a one-line reason.
"""

import platform
import shutil
from dataclasses import dataclass
from typing import Callable, List, Optional


@dataclass(frozen=True)
class TestPlatform:
    name: str  # "macos" or "linux"
    private_servers: bool  # the tests start (and may stop) the sound server themselves
    player: List[str]  # plays a WAV file given after these words on the default output
    recorder: List[str]  # records from the default input until killed (on a Mac, into a file named after it)
    speaker: Optional[List[str]]  # speaks the text given after these words, if there is one

    @property
    def is_mac(self):
        return self.name == "macos"


def choose(system: str, which: Callable[[str], Optional[str]] = shutil.which) -> TestPlatform:
    """The platform of a machine whose `platform.system()` is `system`."""
    if system == "Darwin":
        return TestPlatform(
            name="macos",
            private_servers=False,
            player=["afplay"],
            # Core Audio's own command-line recorder: records into the file named after
            # these words until it is killed.
            recorder=["afrecord", "-f", "caff", "-d", "LEI16"],
            speaker=["say"] if which("say") else None,
        )
    # The server is chosen by the environment (PULSE_SERVER) the tests give each client.
    return TestPlatform(
        name="linux",
        private_servers=True,
        player=["paplay", "--latency-msec=20"],
        recorder=["parec", "-d", "vesk_mic"],
        speaker=None,
    )


def current() -> TestPlatform:
    return choose(platform.system())


def missing_tools(chosen: TestPlatform, which: Callable[[str], Optional[str]] = shutil.which) -> List[str]:
    """The programs the platform's tests need that this machine does not have."""
    needed = [chosen.player[0], chosen.recorder[0]] + ([chosen.speaker[0]] if chosen.speaker else [])
    return [tool for tool in needed if not which(tool)]
