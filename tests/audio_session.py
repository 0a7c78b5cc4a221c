"""A private PulseAudio server for tests (a null sink and a null source on a socket
of its own), players and recorders that are real clients of it, and a reader that
decodes the audio tap's length-prefixed frames as they stream. On a Mac the "server"
is the real default devices, and players and recorders are the system's own."""

import array
import math
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import time
import wave

import platform_choice
from host import SANITIZED, Helper, time_limit

PLATFORM = platform_choice.current()


class SoundServer:
    """What the two kinds of private server share: a folder of their own that holds
    the sockets, the processes, pactl, and a null sink and source as the defaults."""

    SINK = "vesk_sink"
    SOURCE = "vesk_mic"

    def __init__(self, prefix, socket, rate, **env):
        self.dir = tempfile.mkdtemp(prefix=prefix)
        os.chmod(self.dir, 0o700)
        self.rate = rate
        self.socket = os.path.join(self.dir, socket)
        self.env = dict(os.environ, PULSE_SERVER=f"unix:{self.socket}", XDG_RUNTIME_DIR=self.dir, HOME=self.dir,
                        **{key: value.format(dir=self.dir) for key, value in env.items()})
        self.env.pop("DISPLAY", None)
        self.procs = []
        self.start()

    def _spawn(self, *argv):
        self.procs.append(subprocess.Popen(list(argv), env=self.env, stdout=subprocess.DEVNULL,
                                           stderr=subprocess.DEVNULL))

    def _make_defaults(self):
        _wait_for(lambda: self.SOURCE in self.ctl("list", "short", "sources").stdout, "the null devices")

        def defaults_taken():
            # Asked again until they hold: a session manager that has just started may
            # still be settling its own choice.
            self.ctl("set-default-sink", self.SINK)
            self.ctl("set-default-source", self.SOURCE)
            info = self.ctl("info").stdout
            return f"Default Sink: {self.SINK}" in info and f"Default Source: {self.SOURCE}" in info

        try:
            _wait_for(defaults_taken, "the default devices")
        except RuntimeError as error:
            raise RuntimeError(f"{error}: {self.ctl('info').stdout} {self.ctl('list', 'short', 'sinks').stdout}"
                               f" {self.ctl('list', 'short', 'sources').stdout}") from None
        # A null sink's monitor may deliver its first data late unless a low-latency
        # reader keeps it moving.
        self._spawn("parec", "--latency-msec=10", "-d", f"{self.SINK}.monitor")

    def wait_until_heard(self, hz, timeout=time_limit(10)):
        """Waits until the default sink's monitor carries a tone: a fresh server takes
        a moment (on a loaded machine, seconds) before it plays its first streams, and a
        capture that is over by then proves nothing."""
        reader = subprocess.Popen(["parec", "--raw", "--format=s16le", "--rate=24000", "--channels=1",
                                   "--latency-msec=50", "-d", f"{self.SINK}.monitor"],
                                  env=self.env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        try:
            deadline = time.monotonic() + timeout
            while time.monotonic() < deadline:
                block = reader.stdout.read(4800)  # 100 ms
                if len(block) < 4800:
                    break
                if level(samples_of([block]), hz) > 0.05:
                    return
            raise AssertionError(f"the server did not play {hz} Hz within {timeout} s")
        finally:
            reader.kill()
            reader.wait()

    def ctl(self, *args):
        return subprocess.run(["pactl", *args], env=self.env, capture_output=True, text=True, timeout=10)

    def add_sink(self, name, rate):
        """Loads another null sink, with a low-latency reader on its monitor as the
        defaults have; returns its module, for unloading."""
        module = self.ctl("load-module", "module-null-sink", f"sink_name={name}", f"rate={rate}").stdout.strip()
        _wait_for(lambda: name in self.ctl("list", "short", "sinks").stdout, name)
        self._spawn("parec", "--latency-msec=10", "-d", f"{name}.monitor")
        return module

    def set_default_sink(self, name):
        """Makes `name` the default sink, asking again until the server says so: a
        session manager under load may take its time over a sink it has just seen."""

        def taken():
            self.ctl("set-default-sink", name)
            return f"Default Sink: {name}" in self.ctl("info").stdout

        _wait_for(taken, f"{name} as the default sink")

    def sink_rate(self, name):
        """A sink's rate now: a server may switch an idle sink to its streams' rate."""
        for line in self.ctl("list", "short", "sinks").stdout.splitlines():
            fields = line.split("\t")
            if len(fields) > 3 and fields[1] == name:
                return float(fields[3].split()[-1].rstrip("Hz"))
        return None

    def sink_inputs(self):
        """{sink input index: process id} of every playing stream."""
        inputs, index = {}, None
        for line in self.ctl("list", "sink-inputs").stdout.splitlines():
            line = line.strip()
            if line.startswith("Sink Input #"):
                index = int(line[len("Sink Input #"):])
            elif line.startswith("application.process.id = ") and index is not None:
                inputs[index] = int(line.split("=", 1)[1].strip().strip('"'))
        return inputs

    def sink_input_of(self, client, timeout=time_limit(10)):
        """The index of a client's playing stream, once the server has it."""
        found = []
        _wait_for(lambda: found.extend(i for i, pid in self.sink_inputs().items() if pid == client.pid) or found,
                  f"the stream of {client.pid}", timeout)
        return found[0]

    def move_streams(self, sink):
        for index in self.sink_inputs():
            self.ctl("move-sink-input", str(index), sink)

    def server_processes(self):
        return list(self.procs)

    def stop(self):
        for proc in reversed(self.procs):
            if proc.poll() is None:
                proc.kill()
                proc.wait()
        self.procs = []

    def close(self):
        self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)


class PulseServer(SoundServer):
    """PulseAudio with a null sink and a null source on a socket of its own."""

    def __init__(self, rate=48000):
        super().__init__("vesk-pulse-", "native", rate)

    def start(self):
        self._spawn("pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
                    "--disable-shm=yes", "--log-target=stderr", "--log-level=error",
                    "-L", f"module-native-protocol-unix socket={self.socket} auth-anonymous=1",
                    "-L", f"module-null-sink sink_name={self.SINK} rate={self.rate}",
                    "-L", f"module-null-source source_name={self.SOURCE}")
        _wait_for(lambda: self.ctl("info").returncode == 0, "pulseaudio")
        self._make_defaults()


class PipeWireServer(SoundServer):
    """PipeWire with its PulseAudio front end (pipewire-pulse), a session manager and a
    bus of its own."""

    def __init__(self, rate=48000):
        super().__init__("vesk-pipewire-", os.path.join("pulse", "native"), rate,
                         DBUS_SESSION_BUS_ADDRESS="unix:path={dir}/bus")

    def start(self):
        # Sockets of an earlier run are stale: waiting for them to appear must wait for
        # the new processes.
        for stale in ("bus", "pipewire-0", "pipewire-0.lock", os.path.join("pulse", "native")):
            try:
                os.unlink(os.path.join(self.dir, stale))
            except FileNotFoundError:
                pass
        self._spawn("dbus-daemon", "--session", f"--address={self.env['DBUS_SESSION_BUS_ADDRESS']}", "--nofork",
                    "--nopidfile")
        _wait_for(lambda: os.path.exists(os.path.join(self.dir, "bus")), "dbus-daemon")
        self._spawn("pipewire")
        _wait_for(lambda: os.path.exists(os.path.join(self.dir, "pipewire-0")), "pipewire")
        self._spawn("wireplumber")
        self._spawn("pipewire-pulse")
        _wait_for(lambda: self.ctl("info").returncode == 0, "pipewire-pulse")
        self.ctl("load-module", "module-null-sink", f"sink_name={self.SINK}", f"rate={self.rate}")
        self.ctl("load-module", "module-null-sink", "media.class=Audio/Source/Virtual", f"sink_name={self.SOURCE}")
        self._make_defaults()


def _wait_for(condition, what, timeout=time_limit(10)):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return
        time.sleep(0.05)
    raise RuntimeError(f"{what} did not come up")


class MacDevices:
    """The real default devices of a Mac, in the shape of a private server: a folder
    for generated files and the environment of clients. There is nothing to start or
    stop; the device rate is whatever the default output device runs at."""

    rate = None

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="vesk-mac-")
        self.env = dict(os.environ)

    def server_processes(self):
        return []

    def close(self):
        shutil.rmtree(self.dir, ignore_errors=True)


def sound_server():
    """The server the tests run against: PulseAudio, or PipeWire when
    VESK_SOUND_SERVER=pipewire; on a Mac, its real default devices."""
    if PLATFORM.is_mac:
        return MacDevices()
    return PipeWireServer() if os.environ.get("VESK_SOUND_SERVER") == "pipewire" else PulseServer()


def skip_without_audio_access(test, server):
    """On a Mac: skips the test unless the helper may record system audio and the
    system's players and recorder are there. Elsewhere the private server grants it."""
    if not PLATFORM.is_mac:
        return
    missing = platform_choice.missing_tools(PLATFORM)
    if missing:
        test.skipTest(f"missing on this Mac: {', '.join(missing)}")
    helper = Helper("vesk-audio-tap", env=server.env)
    try:
        helper.send(b"checkPermission\n")
        answer = helper.read_error_event(timeout=time_limit(10))
    finally:
        helper.kill()
    if answer != {"event": "permission", "granted": True}:
        test.skipTest("system audio recording is not granted to this terminal "
                      "(Privacy & Security > Screen & System Audio Recording)")


def write_tone(path, hz, seconds, rate=48000, amplitude=0.3):
    frames = int(seconds * rate)
    with wave.open(path, "wb") as out:
        out.setnchannels(1)
        out.setsampwidth(2)
        out.setframerate(rate)
        samples = (int(amplitude * 32767 * math.sin(2 * math.pi * hz * i / rate)) for i in range(frames))
        out.writeframes(b"".join(struct.pack("<h", s) for s in samples))


def write_stereo_tone(path, seconds, left, right, rate=48000):
    """A two-channel WAV whose channels are each a sine, given as (Hz, amplitude)."""
    frames = int(seconds * rate)
    sines = [[int(amplitude * 32767 * math.sin(2 * math.pi * hz * i / rate)) for i in range(frames)]
             for hz, amplitude in (left, right)]
    interleaved = array.array("h", (s for pair in zip(*sines) for s in pair))
    if sys.byteorder != "little":
        interleaved.byteswap()
    with wave.open(path, "wb") as out:
        out.setnchannels(2)
        out.setsampwidth(2)
        out.setframerate(rate)
        out.writeframes(interleaved.tobytes())


class Client:
    """A process that is a client of the server; `pid` is what the helper sees."""

    def __init__(self, server, argv):
        self.proc = subprocess.Popen(argv, env=server.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.pid = self.proc.pid

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


class Player(Client):
    """A process that plays a tone on the default sink."""

    def __init__(self, server, hz, seconds=30):
        self.path = os.path.join(server.dir, f"tone-{hz}.wav")
        if not os.path.exists(self.path):
            write_tone(self.path, hz, seconds)
        super().__init__(server, PLATFORM.player + [self.path])


class Recorder(Client):
    """A process that records from the microphone (the null source; on a Mac the
    default input device, into a file of its own)."""

    count = 0

    def __init__(self, server):
        Recorder.count += 1
        into = [os.path.join(server.dir, f"recording-{Recorder.count}.caf")] if PLATFORM.is_mac else []
        super().__init__(server, PLATFORM.recorder + into)


class Speaker(Client):
    """A process that speaks a sentence on the default output (a Mac's "say")."""

    def __init__(self, server, text):
        super().__init__(server, PLATFORM.speaker + [text])


class FrameReader:
    """Reads the helper's standard output on a thread of its own, so the helper never
    blocks on a full pipe, and splits it into frames. It can be told to stop reading
    for a while, as a host whose main thread is busy."""

    def __init__(self, helper):
        self._fd = helper.proc.stdout.fileno()
        self._reading = threading.Event()
        self._reading.set()
        self._lock = threading.Lock()
        self._data = b""
        self.frames = []  # (arrival time, payload)
        self.malformed = False
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        while True:
            self._reading.wait()
            try:
                chunk = os.read(self._fd, 65536)
            except OSError:
                return
            if not chunk:
                return
            now = time.monotonic()
            with self._lock:
                self._data += chunk
                while len(self._data) >= 4:
                    (length,) = struct.unpack("<I", self._data[:4])
                    if length > 1 << 20 or length % 2:
                        self.malformed = True
                    if len(self._data) < 4 + length:
                        break
                    self.frames.append((now, self._data[4:4 + length]))
                    self._data = self._data[4 + length:]

    def snapshot(self):
        with self._lock:
            return list(self.frames)

    def pause(self):
        """Stops reading after the read under way."""
        self._reading.clear()

    def resume(self):
        self._reading.set()

    def wait_for_frames(self, count, timeout=time_limit(10.0)):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if len(self.snapshot()) >= count:
                return True
            time.sleep(0.02)
        return False

    def join(self, timeout=time_limit(5.0)):
        self._thread.join(timeout)

    def leftover(self):
        with self._lock:
            return self._data


def samples_of(payloads):
    data = b"".join(payloads)
    return struct.unpack(f"<{len(data) // 2}h", data)


def level(samples, hz, rate=24000):
    """Amplitude of one frequency in the signal, relative to full scale (Goertzel)."""
    if not samples:
        return 0.0
    w = 2 * math.pi * hz / rate
    coeff = 2 * math.cos(w)
    s1 = s2 = 0.0
    for x in samples:
        s0 = x / 32768.0 + coeff * s1 - s2
        s2, s1 = s1, s0
    return 2 * math.sqrt(max(0.0, s1 * s1 + s2 * s2 - coeff * s1 * s2)) / len(samples)


def block_levels(samples, hz, rate=24000, block_seconds=0.1):
    """The level of one frequency in each whole 100 ms block (the whole signal when it
    is shorter than one block)."""
    size = max(1, int(rate * block_seconds))
    blocks = [samples[i:i + size] for i in range(0, len(samples) - size + 1, size)] or [samples]
    return [level(block, hz, rate) for block in blocks]


def tone_peak(samples, hz, rate=24000):
    """The loudest 100 ms block of one frequency: what an absence is judged by, so that
    a tone leaking in for a moment is not averaged away. Gaps in other sounds put no
    energy at a frequency that is not played."""
    return max(block_levels(samples, hz, rate))


def tone_level(samples, hz, rate=24000):
    """Amplitude of one frequency as the median over short blocks. A sound server under
    load drops pieces of audio now and then (seen on PipeWire's null sink, and on
    PulseAudio on a busy machine): one level over a long window sinks with every gap,
    while the median of 100 ms blocks only moves when most of the blocks are hurt."""
    levels = sorted(block_levels(samples, hz, rate))
    middle = len(levels) // 2
    return levels[middle] if len(levels) % 2 else (levels[middle - 1] + levels[middle]) / 2


def tone_heard(samples, hz, rate=24000):
    """How loudly a played tone is heard in a capture: its median level (`tone_level`).
    A sanitized helper on a loaded machine falls behind real time, and capture keeps to
    real time by padding late audio with silence; there the tone must be heard (its
    loudest block), not fill the median one."""
    return tone_peak(samples, hz, rate) if SANITIZED else tone_level(samples, hz, rate)
