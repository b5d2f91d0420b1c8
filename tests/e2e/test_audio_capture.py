"""Audio mode end to end: the real binary captures a private sound server's output while a
private X display stands in for the screen it attaches to; the PCM on standard output is
checked for the tones that were played, and the endings for their statuses and lines.

Levels are measured with a windowed single-frequency transform over a second of capture taken
well inside the tones, so the players' start-up and the capture's start do not matter.
"""
import fcntl
import os
import subprocess
import tempfile
import threading
import time
import unittest

from sound_server import SoundServer, peak_dbfs, play_stereo_tones, s16_channels, tone_dbfs
from virtual_display import VirtualDisplay, require_tools

BUILD_DIR = os.environ.get("VX_BUILD_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "build"))
BINARY = os.path.join(BUILD_DIR, "vx-capture")
SENDER = "com.vxcapture.sender"   # the companion application's identity

TONE_DBFS = -6.0          # the test tones' peak level (amplitude 0.5)
LEVEL_TOLERANCE = 2.0     # dB
LEFT_OUT_BELOW = -60.0    # dBFS: what an excluded player may still leave in the capture
STEADY_WITHIN = 3.0       # dB: a steady tone's 20 ms blocks may differ this much (a 10 ms gap in one exceeds it)


def block_spread(samples, rate, milliseconds=20):
    """Difference in dB between the loudest and the quietest block's RMS: a gap or a jump in
    a steady tone shows as a large spread."""
    import math
    size = rate * milliseconds // 1000
    levels = []
    for start in range(0, len(samples) - size + 1, size):
        block = samples[start:start + size]
        levels.append(10 * math.log10(max(sum(x * x for x in block) / size, 1e-20)))
    return max(levels) - min(levels)


class Capture:
    """A running `vx-capture audio`: standard output collected on a thread, standard error kept."""

    def __init__(self, env, *options):
        self.process = subprocess.Popen([BINARY, "audio", *options], env=env,
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE)
        self.pcm = bytearray()
        self.lock = threading.Lock()
        self.grown = threading.Condition(self.lock)
        self.stop_reading = threading.Event()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        out = self.process.stdout
        while not self.stop_reading.is_set():
            chunk = out.read1(65536)
            with self.lock:
                if not chunk:
                    self.grown.notify_all()
                    return
                self.pcm += chunk
                self.grown.notify_all()
        out.close()   # the reader of standard output goes away

    def started_line(self, timeout=15):
        """The first line on standard error (b"started\\n" when the capture runs)."""
        result = []
        reader = threading.Thread(target=lambda: result.append(self.process.stderr.readline()), daemon=True)
        reader.start()
        reader.join(timeout)
        return result[0] if result else b""

    def size(self):
        with self.lock:
            return len(self.pcm)

    def wait_for(self, size, timeout=15):
        """Waits until at least size bytes came; returns whether they did."""
        deadline = time.monotonic() + timeout
        with self.lock:
            while len(self.pcm) < size:
                remaining = deadline - time.monotonic()
                if remaining <= 0 or (not self.reader.is_alive() and len(self.pcm) < size):
                    return False
                self.grown.wait(min(remaining, 0.5))
            return True

    def segment(self, start, end):
        with self.lock:
            return bytes(self.pcm[start:end])

    def close_output(self):
        self.stop_reading.set()
        self.reader.join(10)

    def end(self, timeout=10):
        """Closes standard input (the parent's way of stopping it); returns (status, rest of stderr)."""
        if self.process.poll() is None:
            try:
                self.process.stdin.close()
            except BrokenPipeError:
                pass
        return self.finish(timeout)

    def finish(self, timeout=10):
        try:
            status = self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            raise
        return status, self.process.stderr.read()

    def close(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()
        self.reader.join(10)
        for stream in (self.process.stdin, self.process.stdout, self.process.stderr):
            try:
                stream.close()
            except OSError:
                pass


@unittest.skipUnless(os.path.exists(BINARY), f"{BINARY} is not built")
@require_tools("pulseaudio", "pactl", "pacat", "sox", "Xvfb")
class AudioCaptureTest(unittest.TestCase):
    def setUp(self):
        self.display = VirtualDisplay(320, 240)
        self.display.start()
        self.addCleanup(self.display.stop)
        self.server = SoundServer()
        self.server.start()
        self.addCleanup(self.server.stop)

    def start_capture(self, *options):
        capture = Capture(self.server.env(base=self.display.env()), *options)
        self.addCleanup(capture.close)
        self.assertEqual(capture.started_line(), b"started\n")
        # An idle null output renders in long blocks at first: wait until audio flows.
        self.assertTrue(capture.wait_for(1), "no audio came")
        return capture

    def levels(self, capture, rate, channels, frequencies, seconds=1.0, lead=0.5):
        """Plays nothing itself: takes `seconds` of capture starting `lead` seconds from now
        and returns, per channel, ({frequency: dBFS}, peak dBFS, block spread in dB)."""
        frame = 2 * channels
        begin = capture.size() // frame * frame + int(lead * rate) * frame
        end = begin + int(seconds * rate) * frame
        self.assertTrue(capture.wait_for(end), "the capture stopped delivering")
        result = []
        for samples in s16_channels(capture.segment(begin, end), channels):
            result.append(({f: tone_dbfs(samples, rate, f) for f in frequencies}, peak_dbfs(samples),
                           block_spread(samples, rate)))
        return result

    def assert_level(self, measured, expected, what):
        self.assertAlmostEqual(measured, expected, delta=LEVEL_TOLERANCE, msg=f"{what}: {measured:.1f} dBFS")

    # -- the tone comes through at the requested format ---------------------------------------------
    def test_played_tone_comes_out_at_the_requested_rate_and_channel_count(self):
        for options, rate, channels in [((), 48000, 2),
                                        (("--channels", "1", "--rate", "44100"), 44100, 1),
                                        (("--rate", "44100"), 44100, 2)]:
            with self.subTest(options=options):
                capture = self.start_capture(*options)
                tone = self.server.play_tone(1000, seconds=2.5)
                try:
                    for channel, (tones, peak, spread) in enumerate(self.levels(capture, rate, channels, (1000, 440))):
                        self.assert_level(tones[1000], TONE_DBFS, f"1 kHz on channel {channel}")
                        self.assertLess(tones[440], LEFT_OUT_BELOW, f"440 Hz on channel {channel}")
                        self.assertLess(peak, TONE_DBFS + 1.0)
                        self.assertLess(spread, STEADY_WITHIN, f"gaps on channel {channel}")
                    self.assertEqual(capture.size() % (2 * channels), 0)
                    self.assertEqual(capture.end(), (0, b""))
                finally:
                    tone.wait(10)   # the next case plays its own tone

    # -- the companion's audio is left out ---------------------------------------------------------
    def test_companion_playing_at_the_start_is_left_out_and_the_other_player_kept(self):
        self.server.play_tone(1000, seconds=4, identity=SENDER)
        self.server.play_tone(440, seconds=4)
        self.wait_for_players(2)
        capture = self.start_capture()
        for channel, (tones, _, spread) in enumerate(self.levels(capture, 48000, 2, (1000, 440))):
            self.assert_level(tones[440], TONE_DBFS, f"440 Hz on channel {channel}")
            self.assertLess(spread, STEADY_WITHIN, f"gaps on channel {channel}")
            self.assertLess(tones[1000], LEFT_OUT_BELOW, f"the companion's 1 kHz on channel {channel}")
        self.assertEqual(capture.end(), (0, b""))

    def test_companion_starting_to_play_during_the_capture_is_left_out(self):
        # The companion is a client of the sound server when the capture starts (so the capture's
        # content lists it) but plays only later.
        self.server.connect_client(SENDER)
        capture = self.start_capture()
        self.server.play_tone(440, seconds=3)
        self.server.play_tone(1000, seconds=3, identity=SENDER)
        for channel, (tones, _, spread) in enumerate(self.levels(capture, 48000, 2, (1000, 440))):
            self.assert_level(tones[440], TONE_DBFS, f"440 Hz on channel {channel}")
            self.assertLess(spread, STEADY_WITHIN, f"gaps on channel {channel}")
            self.assertLess(tones[1000], LEFT_OUT_BELOW, f"the companion's 1 kHz on channel {channel}")
        self.assertEqual(capture.end(), (0, b""))

    def test_companion_sounds_coming_and_going_are_all_left_out(self):
        # Short sounds, each a new player, as notification sounds are; the kept tone must not
        # step (a step would lower its measured level) and none of the sounds may get through.
        self.server.connect_client(SENDER)
        capture = self.start_capture()
        self.server.play_tone(440, seconds=3)
        sounds = threading.Thread(target=self.play_short_sounds, args=(SENDER, 1000, 6))
        sounds.start()
        self.addCleanup(sounds.join)
        for channel, (tones, _, spread) in enumerate(self.levels(capture, 48000, 2, (1000, 440), seconds=1.5)):
            self.assert_level(tones[440], TONE_DBFS, f"440 Hz on channel {channel}")
            self.assertLess(spread, STEADY_WITHIN, f"gaps on channel {channel}")
            self.assertLess(tones[1000], LEFT_OUT_BELOW, f"the companion's 1 kHz on channel {channel}")
        sounds.join()
        self.assertEqual(capture.end(), (0, b""))

    def play_short_sounds(self, identity, frequency, count):
        for _ in range(count):
            self.server.play_tone(frequency, seconds=0.1, identity=identity).wait(5)
            time.sleep(0.25)

    def test_output_volume_applies_alike_with_and_without_the_companion(self):
        # Half the output's volume is about -18 dB on PulseAudio's cubic scale.
        self.server.pactl("set-sink-volume", "@DEFAULT_SINK@", "50%")
        expected = None
        for companion in (False, True):
            with self.subTest(companion=companion):
                player = self.server.play_silence(SENDER) if companion else None
                if companion:
                    self.wait_for_players(2)   # the silent companion and the keep-awake player
                capture = self.start_capture()
                tone = self.server.play_tone(440, seconds=2)
                try:
                    (tones, _, _), _ = self.levels(capture, 48000, 2, (440,))
                    expected = tones[440] if expected is None else expected
                    self.assertLess(tones[440], TONE_DBFS - 12)
                    self.assertAlmostEqual(tones[440], expected, delta=1.0)
                    self.assertEqual(capture.end(), (0, b""))
                finally:
                    tone.wait(10)
                    if player:
                        player.terminate()

    def test_without_the_companion_every_player_is_captured(self):
        capture = self.start_capture()
        self.server.play_tone(440, seconds=3)
        self.server.play_tone(1000, seconds=3, identity="org.example.player")
        for channel, (tones, _, _) in enumerate(self.levels(capture, 48000, 2, (1000, 440))):
            self.assert_level(tones[440], TONE_DBFS, f"440 Hz on channel {channel}")
            self.assert_level(tones[1000], TONE_DBFS, f"1 kHz on channel {channel}")
        self.assertEqual(capture.end(), (0, b""))

    def wait_for_players(self, count, timeout=10):
        deadline = time.monotonic() + timeout
        while len(self.server.players()) < count:
            self.assertLess(time.monotonic(), deadline, "the players did not appear")
            time.sleep(0.05)

    # -- the default output changes -------------------------------------------------------------------
    def test_capture_follows_the_default_output_when_it_changes_or_goes(self):
        # A second output becomes the default (the players move with it); then it goes away and
        # the first one is the default again; then no output is left, which stops the capture.
        for companion in (False, True):
            with self.subTest(companion=companion):
                if companion:
                    self.server.play_silence(SENDER)
                capture = self.start_capture()
                tone = self.server.play_tone(440, seconds=3.5)
                second = self.server.pactl("load-module", "module-null-sink", "sink_name=second",
                                           "format=float32le").stdout.strip()
                self.server.pactl("set-default-sink", "second")
                self.assert_tone_kept(capture, "on the second output")
                self.server.pactl("unload-module", second)
                self.assert_tone_kept(capture, "back on the first")
                self.server.pactl("unload-module", "module-null-sink")
                status, rest = capture.finish()
                self.assertEqual(status, 3)
                self.assertTrue(rest.decode().startswith("vx-capture: capture stopped: "), rest)
                tone.wait(10)
                self.server.pactl("load-module", "module-null-sink", "sink_name=vxtest", "format=float32le")
                self.server.pactl("set-default-sink", "vxtest")

    def assert_tone_kept(self, capture, step):
        for channel, (tones, _, _) in enumerate(self.levels(capture, 48000, 2, (440,), lead=0.3)):
            self.assert_level(tones[440], TONE_DBFS, f"440 Hz on channel {channel}, {step}")

    # -- endings -----------------------------------------------------------------------------------
    def test_reader_closing_standard_output_ends_the_process_quietly(self):
        capture = self.start_capture()
        capture.close_output()
        self.assertEqual(capture.finish(), (0, b""))

    def test_sound_server_lost_mid_capture_stops_the_capture(self):
        capture = self.start_capture()
        self.server.kill()
        status, rest = capture.finish()
        self.assertEqual(status, 3)
        lines = rest.decode().splitlines()
        self.assertEqual(len(lines), 1, rest)
        self.assertTrue(lines[0].startswith("vx-capture: capture stopped: "), rest)

    def test_unreachable_sound_server_fails_the_start(self):
        self.server.stop()
        capture = Capture(self.display.env(PULSE_SERVER="unix:/nonexistent/vx-sound"))
        self.addCleanup(capture.close)
        status, rest = capture.finish()
        self.assertEqual(status, 3)
        self.assertEqual(rest.decode(),
                         "vx-capture: could not start capture: cannot connect to the sound server: "
                         "Connection refused\n")
        self.assertEqual(capture.size(), 0)


# -- a reader of standard output that stops for a while ---------------------------------------------
F_GETPIPE_SZ = 1032


def vmrss_kb(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError("no VmRSS")


class PausingReader:
    """Reads standard output of a process on a thread, except while paused."""

    def __init__(self, stream):
        self.stream = stream
        self.data = bytearray()
        self.lock = threading.Lock()
        self.reading = threading.Event()
        self.reading.set()
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self):
        while True:
            self.reading.wait()
            chunk = self.stream.read1(65536)
            if not chunk:
                return
            with self.lock:
                self.data += chunk

    def size(self):
        with self.lock:
            return len(self.data)

    def segment(self, start, end):
        with self.lock:
            return bytes(self.data[start:end])

    def pause(self):
        """Stops reading; a read already waiting may still take one chunk."""
        self.reading.clear()
        time.sleep(0.2)

    def resume(self):
        self.reading.set()


@require_tools("pulseaudio", "pactl", "pacat", "sox", "Xvfb")
class StalledReaderTest(unittest.TestCase):
    RATE = 192000          # a high rate makes a growing backlog plain within seconds
    FRAME = 4              # bytes: two channels of 16 bits
    QUEUED_SECONDS = 0.5   # what may wait in the process for the reader (README)
    STALL = 6.0            # seconds

    def setUp(self):
        self.display = VirtualDisplay(320, 240)
        self.display.start()
        self.addCleanup(self.display.stop)
        self.server = SoundServer()
        self.server.start()
        self.addCleanup(self.server.stop)

    def test_a_stalled_reader_neither_grows_memory_nor_gets_stale_audio_when_it_reads_again(self):
        play_stereo_tones(self.server, 440, 1000, seconds=30)
        process = subprocess.Popen([BINARY, "audio", "--rate", str(self.RATE)],
                                   env=self.server.env(base=self.display.env()),
                                   stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.addCleanup(self.end, process)
        self.assertEqual(process.stderr.readline(), b"started\n")
        reader = PausingReader(process.stdout)
        per_second = self.RATE * self.FRAME
        self.wait_for(lambda: reader.size() >= per_second, "the audio did not flow")
        pipe_bytes = fcntl.fcntl(process.stdout.fileno(), F_GETPIPE_SZ)

        # The reader stops: the pipe fills, the writer waits, the capture goes on.
        reader.pause()
        time.sleep(0.5)
        first = vmrss_kb(process.pid)
        peak = first
        deadline = time.monotonic() + self.STALL
        while time.monotonic() < deadline:
            time.sleep(0.25)
            self.assertIsNone(process.poll(), "the process ended while the reader was stalled")
            peak = max(peak, vmrss_kb(process.pid))
        self.assertLess(peak - first, 4096,
                        f"VmRSS grew from {first} kB to {peak} kB while the reader was stalled")

        # It reads again: what waited comes first (at most the bound, what the pipe held and the
        # buffer in the write), then the live audio.
        resumed_at = reader.size()
        reader.resume()
        window = 2.5
        time.sleep(window)
        received = reader.size() - resumed_at
        backlog = received - window * per_second
        most = self.QUEUED_SECONDS * per_second + pipe_bytes + 0.5 * per_second   # 0.5 s of slack
        self.assertLess(backlog, most, f"{backlog / per_second:.2f} s of old audio came after the stall")
        self.assertGreater(received, per_second, "the audio did not flow again")

        # Whole frames all the way: the left tone is still on the left, the right one on the right.
        end = reader.size() // self.FRAME * self.FRAME
        left, right = s16_channels(reader.segment(end - per_second, end), 2)
        self.assertAlmostEqual(tone_dbfs(left, self.RATE, 440), TONE_DBFS, delta=LEVEL_TOLERANCE)
        self.assertLess(tone_dbfs(left, self.RATE, 1000), -40.0)
        self.assertAlmostEqual(tone_dbfs(right, self.RATE, 1000), TONE_DBFS, delta=LEVEL_TOLERANCE)
        self.assertLess(tone_dbfs(right, self.RATE, 440), -40.0)

        process.stdin.close()
        self.assertEqual(process.wait(10), 0)
        reader.thread.join(10)
        self.assertEqual(reader.size() % self.FRAME, 0)
        self.assertEqual(process.stderr.read(), b"")

    def wait_for(self, condition, message, timeout=15):
        deadline = time.monotonic() + timeout
        while not condition():
            self.assertLess(time.monotonic(), deadline, message)
            time.sleep(0.05)

    @staticmethod
    def end(process):
        if process.poll() is None:
            process.kill()
        process.wait()
        for stream in (process.stdin, process.stdout, process.stderr):
            try:
                stream.close()
            except OSError:
                pass


@unittest.skipUnless(os.path.exists(BINARY), f"{BINARY} is not built")
@require_tools("pulseaudio", "pactl", "pacat", "sox", "Xvfb")
class CompanionPlayingOnlyAfterTheStartTest(unittest.TestCase):
    """The companion runs when the capture starts but makes its first sound only afterwards:
    from its first sample on it is left out, whichever way it plays, and another player that
    starts at the same time is kept."""

    setUp = AudioCaptureTest.setUp
    start_capture = AudioCaptureTest.start_capture
    levels = AudioCaptureTest.levels
    assert_level = AudioCaptureTest.assert_level

    def assert_companion_left_out(self, capture):
        # From the companion's first sound on (lead 0: its start is inside what is measured),
        # then a second in which the other player, started at the same time, surely plays.
        for channel, (tones, _, _) in enumerate(
                self.levels(capture, 48000, 2, (1000,), seconds=2.0, lead=0.0)):
            self.assertLess(tones[1000], LEFT_OUT_BELOW, f"the companion's 1 kHz on channel {channel}")
        for channel, (tones, _, spread) in enumerate(
                self.levels(capture, 48000, 2, (1000, 440), seconds=1.0, lead=0.0)):
            self.assertLess(tones[1000], LEFT_OUT_BELOW, f"the companion's 1 kHz on channel {channel}")
            self.assert_level(tones[440], TONE_DBFS, f"440 Hz on channel {channel}")
            self.assertLess(spread, STEADY_WITHIN, f"gaps on channel {channel}")
        self.assertEqual(capture.end(), (0, b""))

    def test_a_new_client_of_a_companion_not_yet_connected(self):
        # The companion's process runs but has no connection to the sound server yet; it then
        # plays through a new connection carrying its identity.
        self.server.start_application(SENDER)
        capture = self.start_capture()
        self.server.play_tone(440, seconds=4)
        companion = self.server.play_tone(1000, seconds=4, identity=SENDER)
        self.assert_companion_left_out(capture)
        companion.wait(10)

    def test_a_new_player_of_a_companion_already_connected(self):
        # The companion's connection (its identity set by the program itself) exists at the
        # start and plays nothing; later it adds a player on that same connection.
        companion = self.server.connect_player_client(SENDER)
        self.addCleanup(companion.close)
        capture = self.start_capture()
        self.server.play_tone(440, seconds=4)
        companion.play(self.server.tone_file(1000, 4))
        self.assert_companion_left_out(capture)

    def test_a_player_named_otherwise_on_a_companion_connection_is_left_out(self):
        # The player's own properties name another application; its client is the companion's.
        companion = self.server.connect_player_client(SENDER)
        self.addCleanup(companion.close)
        capture = self.start_capture()
        self.server.play_tone(440, seconds=4)
        companion.play(self.server.tone_file(1000, 4), identity="org.example.other")
        self.assert_companion_left_out(capture)


@unittest.skipUnless(os.path.exists(BINARY), f"{BINARY} is not built")
@require_tools("pulseaudio", "pactl", "pacat", "sox", "Xvfb")
class VideoWithoutAnAnsweringSoundServerTest(unittest.TestCase):
    """Video mode never asks the sound server: one that accepts connections and never answers
    does not hold back "started" (asking it would wait its two seconds of patience)."""

    PROMPT_WITHIN = 1.5   # seconds; far more than a start takes here, less than that patience

    def test_video_starts_promptly_with_a_mute_sound_server(self):
        from sound_server import MuteSoundServer
        with VirtualDisplay(320, 240) as display, MuteSoundServer() as mute, \
                tempfile.TemporaryDirectory(prefix="vx-video-") as folder:
            fifo = os.path.join(folder, "video.fifo")
            os.mkfifo(fifo)
            started = time.monotonic()
            process = subprocess.Popen([BINARY, "video", "--out", fifo, "--width", "320", "--height", "240"],
                                       env=mute.env(base=display.env()), stdin=subprocess.PIPE,
                                       stderr=subprocess.PIPE)
            try:
                line = process.stderr.readline()
                elapsed = time.monotonic() - started
                self.assertEqual(line, b"started\n")
                self.assertLess(elapsed, self.PROMPT_WITHIN, f'"started" after {elapsed:.2f} s')
                self.assertEqual(mute.accepted, [], "the sound server was asked")
                process.stdin.close()
                self.assertEqual(process.wait(10), 0)
            finally:
                if process.poll() is None:
                    process.kill()
                process.wait()
                process.stderr.close()


if __name__ == "__main__":
    unittest.main()
