"""The companion left out whenever it plays, on both sound servers (PulseAudio, and PipeWire with
WirePlumber and pipewire-pulse): a companion that is nowhere when the capture starts and only
then connects and plays, naming itself in its own code or through its environment, or that
plays, quits and plays again. Another player plays a steady tone all along: it must keep its
level and stay free of clicks and gaps while the capture switches between the plain monitor
and the mix that leaves the companion out.

Then the sound server that never answers, and libpulse's own lines kept off standard error.
"""
import math
import os
import resource
import subprocess
import threading
import time
import unittest

from sound_server import MuteSoundServer, PipeWireSoundServer, SoundServer, s16_channels, tone_dbfs
from test_audio_capture import BINARY, BUILD_DIR, SENDER, Capture
from virtual_display import VirtualDisplay, require_tools

PLAYER = os.path.join(BUILD_DIR, "companion-player")
RATE = 48000
OTHER_HZ = 480.0          # 4.8 cycles in a 10 ms fragment: a shift in time shows as a phase jump
COMPANION_HZ = 1000.0
AMPLITUDE = 0.5
COMPANION_BELOW = -50.0   # dBFS, on the whole, away from the server's gaps
COMPANION_BLOCK_BELOW = -25.0   # dBFS in any 50 ms block (a few ms of it heard give -20)
OTHER_WITHIN = 1.0        # dB of its level on the plain monitor
ROUGHNESS_BELOW = 3.0     # a clean sine is 1 (see glitches)
SERVER_GLITCH = 30.0      # the server's own glitches, seen on its plain monitor alongside
DIP_BELOW = 1.0           # dB below the plain monitor, in any block of two periods
# A gap the server leaves in its recordings (PipeWire's graph stalling for a period or a
# few, 256 frames each, when a client comes) shows in the plain monitor and in ours, but
# not as long in each nor at quite the same moment (measured: 769 and 1280 frames, up to
# 37 ms apart): the blocks and glitches of ours this near one are not held against ours.
SERVER_GAP_NEAR = RATE // 20


def glitches(samples, threshold):
    """Where samples' second difference exceeds threshold times a clean sine's of OTHER_HZ at
    AMPLITUDE (1 for the tone as played; a step, a cut or a jump in phase gives many times
    that): one index per glitch, glitches closer than 20 ms counted once."""
    clean = AMPLITUDE * (2 * math.pi * OTHER_HZ / RATE) ** 2
    found = []
    for i in range(1, len(samples) - 1):
        if abs(samples[i + 1] - 2 * samples[i] + samples[i - 1]) > threshold * clean:
            if not found or i - found[-1] > RATE // 50:
                found.append(i)
    return found


def gaps(samples, shortest=64):
    """Runs of digital silence in samples, at least shortest long: (start, length) each."""
    found, start = [], None
    for i, x in enumerate(samples):
        if x == 0 and start is None:
            start = i
        elif x != 0 and start is not None:
            if i - start >= shortest:
                found.append((start, i - start))
            start = None
    if start is not None and len(samples) - start >= shortest:
        found.append((start, len(samples) - start))
    return found


def block_levels(samples, periods=2):
    """RMS in dB of consecutive blocks of whole periods of OTHER_HZ, with each block's start."""
    size = round(periods * RATE / OTHER_HZ)
    return [(i, 10 * math.log10(max(sum(x * x for x in samples[i:i + size]) / size, 1e-20)))
            for i in range(0, len(samples) - size + 1, size)]


def without(samples, frequency, r=0.995):
    """samples with one frequency taken out (a notch filter; the other tone is left within
    0.01 dB)."""
    c = 2 * math.cos(2 * math.pi * frequency / RATE)
    gain = (1 + r * r - r * c) / (2 - c)   # unity far from the notch
    out, x1, x2, y1, y2 = [], 0.0, 0.0, 0.0, 0.0
    for x in samples:
        y = gain * (x - c * x1 + x2) + r * c * y1 - r * r * y2
        out.append(y)
        x2, x1, y2, y1 = x1, x, y1, y
    return out


def near_one_of(i, found):
    """Whether frame i lies within SERVER_GAP_NEAR of one of the gaps found ((start, length) each)."""
    return any(j - SERVER_GAP_NEAR <= i < j + n + SERVER_GAP_NEAR for j, n in found)


def block_dbfs(samples, frequency, block=RATE // 20):
    """The level of one frequency in consecutive 50 ms blocks of samples (whole periods of
    both tones), with each block's start."""
    return [(i, tone_dbfs(samples[i:i + block], RATE, frequency))
            for i in range(0, len(samples) - block + 1, block)]


def mean_dbfs(levels):
    """The mean power of levels given in dB, in dB."""
    return 10 * math.log10(sum(10 ** (level / 10) for level in levels) / len(levels)) if levels else -200.0


def level_dbfs(samples, frequency):
    """The level of one frequency in samples, as the mean power of its level in consecutive
    50 ms blocks. Unlike one measure over the whole stretch, a tone that shifts in time
    within it (the mix moving a player back in step with the monitor) does not cancel
    against itself; a tone that is there is counted whatever its phase."""
    return mean_dbfs([level for _, level in block_dbfs(samples, frequency)])


def onset(samples, level=0.2):
    return next(i for i, x in enumerate(samples) if abs(x) > level)


class CompanionOnBothServers:
    """The cases; a subclass names the server."""

    Server = None

    def setUp(self):
        if not os.path.exists(PLAYER):
            self.skipTest(f"{PLAYER} is not built")
        self.display = VirtualDisplay(320, 240)
        self.display.start()
        self.addCleanup(self.display.stop)
        self.server = self.Server()
        self.server.start()
        self.addCleanup(self.server.stop)

    def start_capture(self):
        self.capture = Capture(self.server.env(base=self.display.env()), "--rate", str(RATE))
        self.addCleanup(self.capture.close)
        self.assertEqual(self.capture.started_line(), b"started\n")
        self.assertTrue(self.capture.wait_for(1), "no audio came")

    def position(self):
        """Where the capture is now, in frames."""
        return self.capture.size() // 4

    def play_in_code(self, seconds):
        player = subprocess.run([PLAYER, SENDER, str(COMPANION_HZ), str(seconds)], env=self.server.env(),
                                capture_output=True, timeout=30)
        self.assertEqual(player.returncode, 0, player.stderr)

    def play_from_environment(self, seconds):
        self.server.play_tone(int(COMPANION_HZ), seconds=seconds, identity=SENDER).wait(30)

    def run_case(self, companion):
        """Plays the other tone, then runs companion() (which plays and returns once done), then
        lets the capture go back to the plain monitor; returns the measures. The plain monitor
        is recorded alongside (parec): a glitch the server itself makes under load shows there
        too and is not counted against the capture, nor its effect on the levels."""
        self.start_capture()
        path = self.tone(OTHER_HZ, 14)
        reference_path = os.path.join(self.server.folder, "monitor.pcm")
        with open(reference_path, "wb") as out:
            reference = subprocess.Popen(["parec", "--latency-msec=10", "--format=s16le", f"--rate={RATE}",
                                          "--channels=2", "-d", "vxtest.monitor"], env=self.server.env(),
                                         stdout=out, stderr=subprocess.DEVNULL)
        self.addCleanup(reference.kill)
        time.sleep(0.5)
        other_started = self.position()
        self.server.play_file(path)
        time.sleep(1.5)
        companion_from = self.position()
        companion()
        companion_to = self.position()
        time.sleep(2.0)   # the capture returns to the plain monitor (after a second's hold)
        end = self.position()
        reference.terminate()
        reference.wait(10)
        self.assertTrue(self.capture.wait_for(end * 4))
        left, right = s16_channels(self.capture.segment(0, end * 4), 2)
        with open(reference_path, "rb") as f:
            plain, _ = s16_channels(f.read(), 2)
        # The same moment in both: the other tone's first loud sample.
        offset = onset(plain) - onset(left[other_started:]) - other_started
        lead = companion_from - int(0.8 * RATE)   # the other player surely plays from here on
        self.assertGreater(lead, other_started)
        self.assertGreaterEqual(lead + offset, 0)
        server = [i - offset for i in glitches(plain, SERVER_GLITCH)]
        ours = [i + lead for i in glitches(left[lead:end], ROUGHNESS_BELOW)] + \
               [i + lead for i in glitches(right[lead:end], ROUGHNESS_BELOW)]
        near_server = lambda i: any(abs(i - j) < RATE // 50 for j in server)
        # Each block of ours against the plain monitor's blocks around the same moment.
        monitor_levels = dict(block_levels(without(plain[lead + offset:end + offset], COMPANION_HZ)))
        steady_monitor = sorted(monitor_levels.values())[2:-2]
        size = round(2 * RATE / OTHER_HZ)
        server_gaps = [(lead + i, n) for i, n in gaps(plain[lead + offset:end + offset])]
        near_gap = lambda i: near_one_of(i, server_gaps)
        # A gap cuts the other tone short, which shows at every frequency, the companion's
        # too: its level is taken away from the gaps (the server's, and those of ours, which
        # the other tone's glitches and dips answer for), and checked in every block.
        our_gaps = [(lead + i, n) for i, n in gaps(left[lead:end])]
        all_gaps = server_gaps + our_gaps
        near_any_gap = lambda i: near_one_of(i, all_gaps)
        companion_blocks = [[(companion_from + i, level) for i, level in
                             block_dbfs(channel[companion_from:companion_to], COMPANION_HZ)]
                            for channel in (left, right)]
        ours_levels = [(i, level) for i, level in block_levels(left[lead:end])[2:-2]   # whole blocks in both
                       if not near_gap(lead + i + size // 2)]
        below = [min(monitor_levels.get(i + d, 200.0) for d in (-size, 0, size)) - level
                 for i, level in ours_levels]
        worst = below.index(max(below))
        print(f"largest dip at {(lead + ours_levels[worst][0]) / RATE:.3f} s of the capture, "
              f"companion from {companion_from / RATE:.3f} to {companion_to / RATE:.3f} s")
        window = slice(companion_from + offset, companion_to + offset)
        measures = {
            "companion dBFS": max(mean_dbfs([level for i, level in blocks if not near_any_gap(i + RATE // 40)])
                                  for blocks in companion_blocks),
            "companion block dBFS": max(level for blocks in companion_blocks for i, level in blocks),
            "other on the monitor dBFS": level_dbfs(plain[window], OTHER_HZ),
            "other with companion dBFS": level_dbfs(left[companion_from:companion_to], OTHER_HZ),
            "other glitches of ours": len({i // (RATE // 50) for i in ours
                                           if not near_server(i) and not near_gap(i)}),
            "server glitches": len(server),
            "gaps of ours alone": sum(1 for i, n in our_gaps if not near_gap(i)),
            "other dip dB": max(below),
            "monitor dip dB": steady_monitor[len(steady_monitor) // 2] - steady_monitor[0],
        }
        print(f"\n{self.server.name}: " + ", ".join(f"{k} {v:.2f}" for k, v in measures.items()))
        self.assertEqual(self.capture.end(), (0, b""))
        return measures

    def tone(self, frequency, seconds):
        path = os.path.join(self.server.folder, f"other-{frequency}-{seconds}.wav")
        subprocess.run(["sox", "-n", "-r", str(RATE), "-c", "2", "-b", "16", path, "synth", str(seconds),
                        "sine", str(frequency), "vol", str(AMPLITUDE)], check=True, capture_output=True)
        return path

    def check(self, case):
        """Runs case; again (up to three times in all) while the server's own plain monitor drops
        sound in the measured stretch (a machine too busy for the server), as then neither the
        other player's level nor a seam of the capture can be told from the server's own gaps.
        Likewise, but only twice, where the capture alone has a gap: the server leaves holes in
        one recording and not in another (the capture's own, a period of its graph; seen in 3 of
        80 runs on PipeWire with other tests running beside), and a third time the gap counts
        against the capture. The companion must stay out whatever the load."""
        for attempt in range(3):
            measures = self.run_case(case)
            self.assertLess(measures["companion dBFS"], COMPANION_BELOW, measures)
            self.assertLess(measures["companion block dBFS"], COMPANION_BLOCK_BELOW, measures)
            if measures["monitor dip dB"] < DIP_BELOW and (not measures["gaps of ours alone"] or attempt == 2):
                self.assertAlmostEqual(measures["other with companion dBFS"], measures["other on the monitor dBFS"],
                                       delta=OTHER_WITHIN, msg=measures)
                self.assertEqual(measures["other glitches of ours"], 0, measures)
                self.assertLess(measures["other dip dB"], DIP_BELOW, measures)
                return
            self.server.stop()
            self.server.start()
        self.skipTest("the sound server dropped sound of its own in every attempt: no seam could be measured")

    def test_companion_naming_itself_in_code_and_connecting_after_the_start(self):
        self.check(lambda: self.play_in_code(1.5))

    def test_companion_naming_itself_through_its_environment_after_the_start(self):
        self.check(lambda: self.play_from_environment(1.5))

    def test_companion_that_plays_quits_and_plays_again(self):
        def twice():
            self.play_in_code(1.0)
            time.sleep(1.5)   # long enough for the capture to go back to the plain monitor
            self.play_in_code(1.0)
        self.check(twice)


@unittest.skipUnless(os.path.exists(BINARY), f"{BINARY} is not built")
@require_tools("pulseaudio", "pactl", "pacat", "sox", "Xvfb")
class CompanionOnPulseAudioTest(CompanionOnBothServers, unittest.TestCase):
    Server = SoundServer


@unittest.skipUnless(os.path.exists(BINARY), f"{BINARY} is not built")
@require_tools("pipewire", "wireplumber", "pipewire-pulse", "dbus-daemon", "pactl", "pacat", "sox", "Xvfb")
class CompanionOnPipeWireTest(CompanionOnBothServers, unittest.TestCase):
    Server = PipeWireSoundServer


@unittest.skipUnless(os.path.exists(BINARY), f"{BINARY} is not built")
@require_tools("Xvfb")
class SoundServerThatNeverAnswersTest(unittest.TestCase):
    BOUND = 5.0   # seconds (libpulse's own time-out is about 30)

    def test_the_start_fails_within_the_bound_with_one_line(self):
        with VirtualDisplay(320, 240) as display, MuteSoundServer() as mute:
            started = time.monotonic()
            capture = Capture(mute.env(base=display.env()))
            self.addCleanup(capture.close)
            status, rest = capture.finish(timeout=30)
            elapsed = time.monotonic() - started
            print(f"\nsilent server: the start failed after {elapsed:.2f} s")
            self.assertEqual(status, 3)
            self.assertEqual(rest.decode(), "vx-capture: could not start capture: "
                                            "the sound server did not answer within 3 s\n")
            self.assertLess(elapsed, self.BOUND)
            self.assertEqual(capture.size(), 0)
            self.assertTrue(mute.accepted, "the sound server was never asked")


@unittest.skipUnless(os.path.exists(BINARY), f"{BINARY} is not built")
@require_tools("pulseaudio", "pactl", "pacat", "sox", "Xvfb")
class OnlyOurLinesTest(unittest.TestCase):
    def test_few_descriptors_give_one_line_of_ours(self):
        # With so few descriptors, some step of the start finds none left (libpulse's socket
        # among them); whatever fails, standard error holds our one line only.
        with VirtualDisplay(320, 240) as display, SoundServer() as server:
            for limit in (8, 10, 12, 14, 16, 20):
                with self.subTest(limit=limit):
                    def few():
                        resource.setrlimit(resource.RLIMIT_NOFILE, (limit, limit))
                    process = subprocess.Popen([BINARY, "audio"], env=server.env(base=display.env()),
                                               stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                               stderr=subprocess.PIPE, preexec_fn=few)
                    timer = threading.Timer(3.0, lambda: process.stdin.close())
                    timer.start()
                    try:
                        status = process.wait(20)
                    finally:
                        timer.cancel()
                        process.stdin.close()
                    lines = process.stderr.read().decode().splitlines()
                    process.stderr.close()
                    if lines[:1] == ["started"]:
                        lines = lines[1:]
                    for line in lines:
                        self.assertTrue(line.startswith("vx-capture: "), lines)
                    self.assertLessEqual(len(lines), 1, lines)
                    self.assertIn(status, (0, 3), lines)


if __name__ == "__main__":
    unittest.main()
