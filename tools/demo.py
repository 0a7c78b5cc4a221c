"""Drives the built helpers as the host application would, against a private virtual
display, and prints every line exchanged. Run through tools/demo.sh."""

import json
import math
import os
import subprocess
import sys
import time
import wave

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(ROOT, "tests"))
from audio_session import FrameReader, Player, PulseServer, Recorder, level, samples_of  # noqa: E402
from host import Helper  # noqa: E402
from x11_session import XServer  # noqa: E402

OUT_DIR = os.path.join(ROOT, "demo-out")
SPEECH = ("This is the meeting. Everything the machine plays reaches the tap, "
          "except the processes the host leaves out.")


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


def speech_player(server):
    """A process that speaks (espeak-ng into a WAV file, played by paplay)."""
    path = os.path.join(server.dir, "speech.wav")
    subprocess.run(["espeak-ng", "-s", "150", "-w", path, SPEECH], check=True)
    return subprocess.Popen(["paplay", path], env=server.env, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)


def write_wav(path, samples):
    with wave.open(path, "wb") as out:
        out.setnchannels(1)
        out.setsampwidth(2)
        out.setframerate(24000)
        out.writeframes(b"".join(int(s).to_bytes(2, "little", signed=True) for s in samples))


def rms(samples):
    return math.sqrt(sum(s * s for s in samples) / max(1, len(samples))) / 32768.0


def audio_tap_session():
    print("vesk-audio-tap on a private PulseAudio server")
    server = PulseServer()
    players = []
    try:
        tone = Player(server, 440)
        players.append(tone)
        print(f"     (process {tone.pid} plays a 440 Hz tone: the host's own sound, left out)")
        speech = speech_player(server)
        players.append(speech)
        print(f"     (process {speech.pid} speaks: the meeting audio)")
        helper = Helper("vesk-audio-tap", args=("--exclude-pid", str(tone.pid)), env=server.env)
        frames = FrameReader(helper)
        print(f"  $ vesk-audio-tap --exclude-pid {tone.pid}")

        def command(word, answers=1):
            print(f"  -> {word}")
            helper.send((word + "\n").encode())
            for _ in range(answers):
                line = helper.read_error_line(5)
                if line is not None:
                    print(f"  <- {line.decode()}")

        command("checkPermission")
        command("start")
        time.sleep(4.5)
        recorder = Recorder(server)
        print(f"     (process {recorder.pid} starts recording from the microphone)")
        command("watchInput")
        line = helper.read_error_line(3)
        if line:
            print(f"  <- {line.decode()}")
        recorder.stop()
        command("unwatchInput", answers=0)
        command("stop")
        command("quit", answers=0)
        print(f"  exit status {helper.wait()}")
        frames.join()
        captured = frames.snapshot()
        samples = samples_of(payload for _, payload in captured)
        os.makedirs(OUT_DIR, exist_ok=True)
        wav = os.path.join(OUT_DIR, "capture.wav")
        png = os.path.join(OUT_DIR, "capture.png")
        write_wav(wav, samples)
        subprocess.run(["sox", wav, "-n", "spectrogram", "-o", png, "-t", "Captured system audio"], check=False)
        sizes = sorted({len(p) for _, p in captured})
        print(f"  captured {len(captured)} frames, {len(samples) / 24000:.2f} s of 24000 Hz mono "
              f"(payload sizes {sizes})")
        print(f"  overall level {rms(samples):.3f} of full scale; the excluded 440 Hz tone: "
              f"{level(samples, 440):.4f}")
        print(f"  wrote {os.path.relpath(wav, ROOT)} and {os.path.relpath(png, ROOT)}")
    finally:
        for player in players:
            if isinstance(player, Player):
                player.stop()
            elif player.poll() is None:
                player.kill()
        server.close()


def main():
    input_monitor_session()
    print()
    audio_tap_session()


if __name__ == "__main__":
    main()
