"""End-to-end tests of vesk-audio-tap against a private PulseAudio server: real
players and recorders, the helper driven over its standard streams as the host drives
it, and the frames it streams decoded and analysed. On a Mac the same tests run against
the real default devices with afplay, say and afrecord (run them on a quiet Mac: other
sound playing would be captured too); they are skipped when this terminal may not
record system audio."""

import math
import os
import signal
import time
import unittest

from audio_session import (PLATFORM, Client, FrameReader, Player, Recorder, Speaker, level, samples_of,
                           skip_without_audio_access, sound_server, tone_level, tone_peak, write_stereo_tone)
from host import Helper, assert_took, thread_stacks, time_limit

FULL_FRAME = 4800 * 2
NO_PRIVATE_SERVER = "the tests cannot stop or hang a Mac's own sound server"


class ServerTestCase(unittest.TestCase):
    """Each test gets a private server and helpers that are cleaned up after it."""

    def setUp(self):
        self.server = sound_server()
        self.addCleanup(self.server.close)
        skip_without_audio_access(self, self.server)

    def start_helper(self, *args):
        helper = Helper("vesk-audio-tap", args=args, env=self.server.env)
        self.addCleanup(helper.kill)
        frames = FrameReader(helper)  # keeps standard output drained
        return helper, frames

    def wait_for_tone(self, frames, hz, timeout=time_limit(6.0)):
        """Waits until a frame that arrives from now on carries the tone: a player that
        has just started takes a moment before the server plays it, and frames from
        before (an earlier capture) prove nothing about this one."""
        deadline = time.monotonic() + timeout
        seen = len(frames.snapshot())
        while time.monotonic() < deadline:
            snapshot = frames.snapshot()
            for _, payload in snapshot[seen:]:
                if level(samples_of([payload]), hz) > 0.05:
                    return
            seen = len(snapshot)
            time.sleep(0.05)
        self.fail(f"no {hz} Hz in the frames within {timeout} s")


class CaptureTest(ServerTestCase):
    def player(self, hz):
        player = Player(self.server, hz)
        self.addCleanup(player.stop)
        return player

    def event(self, helper, timeout=time_limit(5.0)):
        event = helper.read_error_event(timeout)
        self.assertIsNotNone(event, "no event")
        return event

    def start_capture(self, helper):
        helper.send(b"start\n")
        ready = self.event(helper)
        self.assertEqual(ready.get("event"), "ready", ready)
        return ready

    def capture_seconds(self, helper, frames, seconds):
        """Captures for a while and returns the samples of the frames that arrived."""
        before = len(frames.snapshot())
        self.assertTrue(frames.wait_for_frames(before + int(seconds * 5), timeout=time_limit(seconds + 5)))
        return samples_of(payload for _, payload in frames.snapshot()[before:])

    def test_ready_reports_the_sink_rate(self):
        helper, _ = self.start_helper()
        ready = self.start_capture(helper)
        rate = ready.get("deviceRate")
        self.assertIsInstance(rate, float)  # always written with a decimal point
        # A Mac's output device runs at a rate of its own choosing.
        if self.server.rate:
            self.assertEqual(rate, self.server.rate)
        self.assertEqual(ready, {"event": "ready", "sampleRate": 24000, "deviceRate": rate, "channels": 1})

    def test_a_tone_is_captured(self):
        self.player(440)
        helper, frames = self.start_helper()
        self.start_capture(helper)
        self.wait_for_tone(frames, 440)
        samples = self.capture_seconds(helper, frames, 1.0)
        self.assertGreater(tone_level(samples, 440), 0.2)  # played at 0.3 of full scale
        self.assertLess(tone_peak(samples, 1000), 0.01)

    def test_an_excluded_process_is_left_out(self):
        low = self.player(440)
        self.player(1000)
        helper, frames = self.start_helper("--exclude-pid", str(low.pid))
        self.start_capture(helper)
        self.wait_for_tone(frames, 1000)
        samples = self.capture_seconds(helper, frames, 1.0)
        self.assertGreater(tone_level(samples, 1000), 0.05)
        self.assertLess(tone_peak(samples, 440), 0.01)

    @unittest.skipUnless(PLATFORM.is_mac and PLATFORM.speaker, "speech comes from a Mac's own \"say\"")
    def test_speech_is_captured(self):
        helper, frames = self.start_helper()
        self.start_capture(helper)
        quiet = self.capture_seconds(helper, frames, 0.6)
        speaker = Speaker(self.server, "Push to talk is working, one two three four five.")
        self.addCleanup(speaker.stop)
        samples = self.capture_seconds(helper, frames, 2.0)
        # Speech is loud in some of its 100 ms blocks; the quiet capture before is not.
        blocks = [samples[i:i + 2400] for i in range(0, len(samples) - 2399, 2400)]
        loudest = max(max(abs(s) for s in block) for block in blocks)
        self.assertGreater(loudest, 3000)
        self.assertLess(max((abs(s) for s in quiet), default=0), loudest / 4)

    def test_a_player_started_during_capture_is_heard(self):
        helper, frames = self.start_helper()
        self.start_capture(helper)
        silence = self.capture_seconds(helper, frames, 0.6)
        self.assertLess(tone_peak(silence, 440), 0.01)
        self.player(440)
        self.wait_for_tone(frames, 440)
        samples = self.capture_seconds(helper, frames, 1.0)
        self.assertGreater(tone_level(samples, 440), 0.2)

    def test_frames_flow_in_real_time_and_stop_with_a_short_one(self):
        helper, frames = self.start_helper()
        started = time.monotonic()
        self.start_capture(helper)
        self.assertTrue(frames.wait_for_frames(10, timeout=time_limit(5)))
        elapsed = time.monotonic() - started
        self.assertGreater(elapsed, 1.5)  # ten frames are two seconds of audio
        time.sleep(0.1)
        helper.send(b"stop\n")
        self.assertEqual(self.event(helper), {"event": "stopped"})
        time.sleep(0.2)
        sizes = [len(payload) for _, payload in frames.snapshot()]
        self.assertTrue(all(size == FULL_FRAME for size in sizes[:-1]), sizes)
        self.assertLess(sizes[-1], FULL_FRAME + 1)
        self.assertFalse(frames.malformed)
        self.assertEqual(frames.leftover(), b"")

    def test_debug_events_in_order(self):
        helper, _ = self.start_helper("--debug")
        helper.send(b"start\n")
        steps = {}
        while True:
            event = self.event(helper)
            if event["event"] != "debug":
                break
            steps[event.pop("step")] = event
        self.assertEqual(event["event"], "ready")
        # The set-up's steps in their order, then what capture was built on.
        self.assertEqual(list(steps), ["tap created", "format read", "aggregate created", "converter made",
                                       "ioproc created", "output device", "tap format", "input streams"])
        self.assertEqual(steps["output device"]["uid"], self.server.SINK)
        self.assertEqual((steps["tap format"]["rate"], steps["tap format"]["channels"]), (48000.0, 1))
        self.assertEqual(steps["input streams"]["streams"], [{"channels": 1, "rate": 48000.0}])
        self.assertEqual(steps["input streams"]["reading"], [0])
        time.sleep(0.5)
        helper.send(b"stop\n")
        debug = self.event(helper)
        self.assertEqual(debug["step"], "stopped")
        self.assertGreater(debug["ioCalls"], 0)
        self.assertEqual(self.event(helper), {"event": "stopped"})

    def test_check_permission_with_and_without_a_server(self):
        if PLATFORM.is_mac:
            self.skipTest(NO_PRIVATE_SERVER)
        helper, _ = self.start_helper()
        helper.send(b"checkPermission\n")
        self.assertEqual(self.event(helper), {"event": "permission", "granted": True})
        self.server.stop()
        helper.send(b"checkPermission\n")
        self.assertEqual(self.event(helper), {"event": "permission", "granted": False})

    def test_server_restart_during_capture(self):
        if PLATFORM.is_mac:
            self.skipTest(NO_PRIVATE_SERVER)
        self.player(440)
        helper, frames = self.start_helper()
        self.start_capture(helper)
        self.assertTrue(frames.wait_for_frames(2, timeout=time_limit(5)))
        self.server.stop()
        # Every device went with the server: capture cannot be rebuilt, so it ends.
        self.assertEqual(self.event(helper, timeout=time_limit(10))["event"], "error")
        self.assertEqual(self.event(helper), {"event": "stopped"})
        self.assertIsNone(helper.proc.poll())
        helper.send(b"stop\n")  # nothing left to stop: no answer
        helper.send(b"start\n")
        self.assertEqual(self.event(helper)["event"], "error")
        self.server.start()
        self.player(440)
        self.start_capture(helper)
        self.wait_for_tone(frames, 440)
        samples = self.capture_seconds(helper, frames, 1.0)
        self.assertGreater(tone_level(samples, 440), 0.2)


class CaptureHelpers(ServerTestCase):
    """The capture tests' helpers, without their tests."""

    player = CaptureTest.player
    event = CaptureTest.event
    start_capture = CaptureTest.start_capture
    capture_seconds = CaptureTest.capture_seconds


class RebuildTest(CaptureHelpers):
    """Capture outlives what happens to the output device: the default sink changing
    (to another rate, its streams moved along) or going away mid-capture. The tone
    keeps its pitch and the frames their real-time rate across the rebuild."""

    OTHER_SINK = "vesk_other"

    def start_debug_capture(self, helper):
        helper.send(b"start\n")
        while True:
            event = self.event(helper)
            if event["event"] != "debug":
                self.assertEqual(event["event"], "ready", event)
                return time.monotonic()

    def wait_for_step(self, helper, step, timeout=time_limit(15.0)):
        deadline = time.monotonic() + timeout
        seen = []
        while time.monotonic() < deadline:
            event = helper.read_error_event(max(0.1, deadline - time.monotonic()))
            if event and event.get("step") == step:
                return event
            seen.append(event)
        self.fail(f"no {step} event: {seen}; the server: {self.server.ctl('info').stdout}\n"
                  f"the helper's threads:\n{thread_stacks(helper.proc.pid)}")

    @staticmethod
    def lag(frames, first, started, since, until):
        """How far the frames that arrived in [since, until] trail real time since
        `started`, in samples, at best: a frame that arrives late only adds, so the
        least of them is what the stream itself lacks."""
        total, lags = 0, []
        for arrived, payload in frames.snapshot()[first:]:
            total += len(payload) // 2
            if since <= arrived <= until:
                lags.append((arrived - started) * 24000 - total)
        return min(lags)

    def check_rebuild(self, change, reasons, sink):
        """A tone plays on the first sink from before capture starts until after
        `change` has made capture rebuild."""
        helper, frames = self.start_helper("--debug")
        first = len(frames.snapshot())
        started = self.start_debug_capture(helper)
        self.wait_for_tone(frames, 440)
        before = self.capture_seconds(helper, frames, 2.0)
        # Present (played at 0.3 of full scale; a loaded server drops pieces of it).
        self.assertGreater(tone_level(before, 440), 0.1)
        lag_before = self.lag(frames, first, started, started + 1.0, time.monotonic())

        changed = time.monotonic()
        change()
        rebuilt = self.wait_for_step(helper, "captureRebuilt")
        self.assertIn(rebuilt["reason"], reasons)

        # A stream moved to another sink is heard through that sink's monitor, whose
        # first data the server hands over up to seconds late (parec too): judge once
        # the tone is back for good.
        self.wait_for_steady_tone(frames, 440)
        after = self.capture_seconds(helper, frames, 2.0)
        # The same pitch: a stream read at the wrong rate would put the tone elsewhere.
        self.assertGreater(tone_level(after, 440), 0.1)
        self.assertLess(tone_level(after, 440 * 48000 / 44100), tone_level(after, 440) / 3)
        self.assertLess(tone_level(after, 440 * 44100 / 48000), tone_level(after, 440) / 3)
        # Frames keep leaving at 24000 samples a second of real time: the time capture
        # was down is filled, within one frame.
        lag_after = self.lag(frames, first, started, changed + 1.0, time.monotonic())
        self.assertLess(abs(lag_after - lag_before), 4800, (lag_before, lag_after))
        # Capture was last built at the new sink's rate (a server may have switched the
        # sink to its new stream's rate, and capture with it).
        helper.send(b"stop\n")
        events = [rebuilt]
        while events[-1].get("event") != "stopped":
            events.append(self.event(helper))
        rebuilds = [e for e in events if e.get("step") == "captureRebuilt"]
        self.assertEqual(rebuilds[-1]["deviceRate"], self.server.sink_rate(sink), rebuilds)
        self.assertFalse([e for e in events if e["event"] in ("ready", "error")], events)

    def wait_for_steady_tone(self, frames, hz, timeout=time_limit(15.0)):
        """Waits until four of five frames in a row, from now on, carry the tone."""
        deadline = time.monotonic() + timeout
        first = len(frames.snapshot())
        while time.monotonic() < deadline:
            heard = [level(samples_of([payload]), hz) > 0.05 for _, payload in frames.snapshot()[first:]]
            if any(sum(heard[i:i + 5]) >= 4 for i in range(len(heard) - 4)):
                return
            time.sleep(0.05)
        self.fail(f"no steady {hz} Hz within {timeout} s")

    def test_a_new_default_sink_at_44100_hz(self):
        self.player(440)

        def change():
            self.server.add_sink(self.OTHER_SINK, 44100)
            self.server.set_default_sink(self.OTHER_SINK)
            self.server.move_streams(self.OTHER_SINK)

        self.check_rebuild(change, ["outputDeviceChanged"], self.OTHER_SINK)

    def test_the_default_sink_unloaded_mid_capture(self):
        # The tone plays on the first sink; capture starts on another, at 44100 Hz,
        # which goes away: the server falls back to the first.
        self.player(440)
        module = self.server.add_sink(self.OTHER_SINK, 44100)
        self.server.set_default_sink(self.OTHER_SINK)

        def change():
            self.server.ctl("unload-module", module)

        self.check_rebuild(change, ["deviceLost", "outputDeviceChanged"], self.server.SINK)


class LevelTest(CaptureHelpers):
    """A stream is captured as the average of its channels, whatever the server: a
    stereo tone whose channels are equal at the level of one channel, a loud one
    unclipped, different channels as their mean."""

    CASES = (  # left and right as (Hz, amplitude); the levels expected in the capture
        ("equal channels at 0.2", (440, 0.2), (440, 0.2), {440: 0.2}),
        ("equal channels at 0.9", (440, 0.9), (440, 0.9), {440: 0.9}),
        ("different channels", (440, 0.4), (1000, 0.8), {440: 0.2, 1000: 0.4}),
    )

    def test_a_stereo_stream_is_captured_at_the_average_of_its_channels(self):
        for name, left, right, expected in self.CASES:
            with self.subTest(name):
                path = os.path.join(self.server.dir, f"stereo-{left[0]}-{left[1]}-{right[0]}-{right[1]}.wav")
                write_stereo_tone(path, 10, left, right)
                player = Client(self.server, PLATFORM.player + [path])
                self.addCleanup(player.stop)
                helper, frames = self.start_helper()
                self.start_capture(helper)
                self.wait_for_tone(frames, left[0])
                samples = self.capture_seconds(helper, frames, 2.0)
                helper.kill()
                player.stop()
                # Levels as the median of 100 ms blocks: a loaded server's drops only
                # hurt the blocks they fall in.
                for hz, want in expected.items():
                    got = tone_level(samples, hz)
                    self.assertLess(abs(20 * math.log10(max(got, 1e-9) / want)), 0.5, (hz, got, want))
                # Nothing at the 16-bit limits, nor the odd harmonics of a clipped tone. A
                # drop of the server's cuts the tone, and the filter's ringing at the cut
                # may touch the limit there: that is one block, where clipping is all of them.
                blocks = [samples[i:i + 2400] for i in range(0, len(samples) - 2399, 2400)]
                at_limit = sum(1 for block in blocks if max(abs(s) for s in block) >= 32767)
                self.assertLessEqual(at_limit, len(blocks) // 10, f"{at_limit} of {len(blocks)} blocks at the limit")
                self.assertLess(tone_level(samples, 3 * left[0]), 0.003)


class SilenceTest(CaptureHelpers):
    """A muted stream is captured as exact zeros, and capture that hears nothing while
    something plays says so, and says when it hears again."""

    def report(self, helper, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            event = helper.read_error_event(max(0.1, deadline - time.monotonic()))
            if event and event.get("event") == "captureSilence":
                return event
        self.fail(f"no captureSilence within {timeout} s")

    def test_a_muted_stream_gives_zeros_and_a_silence_report_until_unmuted(self):
        player = self.player(440)
        helper, frames = self.start_helper()
        self.start_capture(helper)
        self.wait_for_tone(frames, 440)
        stream = self.server.sink_input_of(player)
        self.server.ctl("set-sink-input-mute", str(stream), "1")
        muted = time.monotonic()
        silent = self.report(helper, timeout=time_limit(20))
        self.assertEqual(silent, {"event": "captureSilence", "silent": True,
                                  "playing": [{"pid": player.pid, "bundleId": "pacat"}]})
        self.assertGreater(time.monotonic() - muted, 4.0)
        # Exact zeros: the frames of the last second before the report hold nothing else.
        quiet = [payload for arrived, payload in frames.snapshot() if arrived > time.monotonic() - 1.5]
        self.assertTrue(quiet)
        self.assertFalse(any(samples_of(quiet)))

        self.server.ctl("set-sink-input-mute", str(stream), "0")
        self.assertEqual(self.report(helper, timeout=time_limit(10)), {"event": "captureSilence", "silent": False})
        self.wait_for_tone(frames, 440)

    def test_no_report_while_nothing_plays(self):
        helper, frames = self.start_helper()
        self.start_capture(helper)
        self.assertTrue(frames.wait_for_frames(40, timeout=time_limit(20)))  # eight seconds of silence
        self.assertFalse(any(samples_of(payload for _, payload in frames.snapshot())))
        helper.send(b"stop\n")  # and nothing but "stopped" on the way
        self.assertEqual(self.event(helper), {"event": "stopped"})


class HungServerTest(unittest.TestCase):
    """A server that stops answering (here: stopped with SIGSTOP) must not hang the
    helper: requests give up after their deadline and the commands still answer."""

    @unittest.skipIf(PLATFORM.is_mac, NO_PRIVATE_SERVER)
    def test_start_and_check_permission_answer_while_the_server_hangs(self):
        server = sound_server()
        self.addCleanup(server.close)
        helper = Helper("vesk-audio-tap", env=server.env)
        self.addCleanup(helper.kill)
        FrameReader(helper)
        helper.send(b"checkPermission\n")
        self.assertEqual(helper.read_error_event(), {"event": "permission", "granted": True})
        hung = [p for p in server.server_processes() if p.poll() is None]
        for proc in hung:
            os.kill(proc.pid, signal.SIGSTOP)
        try:
            helper.send(b"start\n")
            event = helper.read_error_event(timeout=time_limit(10))
            self.assertIsNotNone(event, "start hung with the server")
            self.assertEqual(event["event"], "error", event)
            helper.send(b"checkPermission\n")
            self.assertEqual(helper.read_error_event(timeout=time_limit(10)), {"event": "permission", "granted": False})
        finally:
            for proc in hung:
                os.kill(proc.pid, signal.SIGCONT)
        helper.send(b"start\n")
        self.assertEqual(helper.read_error_event(timeout=time_limit(10))["event"], "ready")
        helper.send(b"quit\n")
        self.assertEqual(helper.wait(timeout=time_limit(10)), 0)


class InputWatchTest(ServerTestCase):
    def skip_unless_recording(self, recorder):
        """On a Mac, a recorder that is refused the microphone never runs input."""
        ended = recorder.proc.poll()
        self.skipTest(f"afrecord {'ended with status ' + str(ended) if ended is not None else 'runs no input'}: "
                      "microphone access may not be granted to this terminal")

    def activity(self, helper, timeout=time_limit(5.0)):
        event = helper.read_error_event(timeout)
        self.assertIsNotNone(event, "no inputActivity event")
        self.assertEqual(event["event"], "inputActivity", event)
        return event

    def test_a_recorder_is_reported_within_the_debounce(self):
        helper, _ = self.start_helper()
        helper.send(b"watchInput\n")
        first = self.activity(helper)
        self.assertEqual(first["running"], False)
        recorder = Recorder(self.server)
        self.addCleanup(recorder.stop)
        started = time.monotonic()
        event = helper.read_error_event(time_limit(4))
        if PLATFORM.is_mac and event is None:
            self.skip_unless_recording(recorder)
        self.assertIsNotNone(event, "no inputActivity event")
        self.assertEqual(event["event"], "inputActivity", event)
        assert_took(self, time.monotonic() - started, 3.0, "a recorder -> inputActivity")
        self.assertTrue(event["running"])
        if PLATFORM.is_mac:
            self.assertIn(recorder.pid, [p["pid"] for p in event["processes"]])
        else:
            # parec is pacat under another name: the stream carries the binary's name.
            self.assertIn({"pid": recorder.pid, "bundleId": "pacat"}, event["processes"])
        recorder.stop()
        self.assertFalse(self.activity(helper, timeout=time_limit(4))["running"])

    def test_excluded_and_own_streams_are_not_reported(self):
        recorder = Recorder(self.server)
        self.addCleanup(recorder.stop)
        other = Recorder(self.server)
        self.addCleanup(other.stop)
        helper, _ = self.start_helper("--exclude-pid", str(recorder.pid))
        helper.send(b"start\nwatchInput\n")
        # Every report until the other recorder shows up (a recorder that has just
        # started may join a report later); none may list the excluded one or the helper.
        reported = []
        deadline = time.monotonic() + time_limit(6)
        while time.monotonic() < deadline:
            event = helper.read_error_event(0.5)
            if not event or event["event"] != "inputActivity":
                continue
            pids = [p["pid"] for p in event["processes"]]
            reported.append(pids)
            if other.pid in pids:
                break
        if PLATFORM.is_mac and not (reported and other.pid in reported[-1]):
            self.skip_unless_recording(other)
        self.assertTrue(reported and other.pid in reported[-1], reported)
        for pids in reported:
            self.assertNotIn(recorder.pid, pids)
            self.assertNotIn(helper.proc.pid, pids)

if __name__ == "__main__":
    unittest.main()
