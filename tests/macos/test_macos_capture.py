"""End-to-end tests of the macOS build: the real vx-capture on ScreenCaptureKit,
CoreMedia and VideoToolbox captures the screen into a named pipe and the system's
audio onto standard output.

They run only on a Mac (macOS 13 or later) on which the program that runs them
(Terminal, the CI agent) may record the screen; elsewhere the whole file is
skipped with exit status 77, which ctest shows as skipped. Without the Screen
Recording permission the program ends with status 5 and the tests skip, naming
where the permission is granted.

Run: ctest -L macos (from the build folder), or python3 test_macos_capture.py.
"""
import os
import select
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest

SKIPPED = 77
BUILD_DIR = os.environ.get("VX_BUILD_DIR",
                           os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "build"))
BINARY = os.path.join(BUILD_DIR, "vx-capture")
PERMISSION = ("Screen Recording is not allowed for the program running the tests: "
              "System Settings > Privacy & Security > Screen Recording")


class Capture:
    """A running vx-capture; standard input stays open until finish()."""

    def __init__(self, *args):
        self.process = subprocess.Popen([BINARY, *args], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.stderr = b""

    def wait_started(self, timeout=30):
        """Returns once "started" is on standard error; skips the test when the
        user has not allowed the capture (status 5); fails on any other ending."""
        deadline = time.monotonic() + timeout
        while b"started\n" not in self.stderr:
            left = deadline - time.monotonic()
            if left <= 0:
                self.process.kill()
                raise AssertionError("no 'started' within %d s: %r" % (timeout, self.stderr))
            ready, _, _ = select.select([self.process.stderr], [], [], left)
            if ready:
                chunk = os.read(self.process.stderr.fileno(), 4096)
                self.stderr += chunk
                if chunk:
                    continue
            status = self.process.wait(timeout=5)
            if status == 5:
                raise unittest.SkipTest(PERMISSION)
            raise AssertionError("ended with status %d before starting: %r" % (status, self.stderr))

    def finish(self):
        """Closes standard input: the program ends at once with status 0."""
        self.process.stdin.close()
        status = self.process.wait(timeout=10)
        self.stderr += self.process.stderr.read()
        return status


def read_for(fd, seconds):
    """Everything readable from fd during the given time."""
    data = bytearray()
    deadline = time.monotonic() + seconds
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            return bytes(data)
        ready, _, _ = select.select([fd], [], [], left)
        if ready:
            chunk = os.read(fd, 1 << 16)
            if not chunk:
                return bytes(data)
            data += chunk


def nal_types(stream):
    """The NAL unit types of an Annex-B stream with four-byte start codes."""
    types = []
    start = stream.find(b"\x00\x00\x00\x01")
    while start >= 0 and start + 4 < len(stream):
        types.append(stream[start + 4] & 0x1F)
        start = stream.find(b"\x00\x00\x00\x01", start + 4)
    return types


class VideoThroughThePipe(unittest.TestCase):
    def test_two_seconds_of_video_decode(self):
        with tempfile.TemporaryDirectory() as folder:
            fifo = os.path.join(folder, "video.fifo")
            os.mkfifo(fifo)
            capture = Capture("video", "--out", fifo, "--width", "640", "--height", "360",
                              "--fps", "30")
            try:
                capture.wait_started()
                reader = os.open(fifo, os.O_RDONLY)  # the writer opens it after "started"
                stream = read_for(reader, 2.0)
                os.close(reader)
            finally:
                status = capture.finish()
            self.assertEqual(status, 0, capture.stderr)

            self.assertTrue(stream.startswith(b"\x00\x00\x00\x01"), stream[:16])
            types = nal_types(stream)
            self.assertIn(7, types, "no SPS")
            self.assertIn(8, types, "no PPS")
            self.assertIn(5, types, "no IDR frame")

            path = os.path.join(folder, "video.h264")
            with open(path, "wb") as out:
                out.write(stream)
            if shutil.which("ffprobe"):
                probe = subprocess.run(
                    ["ffprobe", "-v", "error", "-count_frames", "-select_streams", "v:0",
                     "-show_entries", "stream=codec_name,width,height,nb_read_frames",
                     "-of", "default=noprint_wrappers=1", path],
                    capture_output=True, text=True, timeout=60)
                self.assertEqual(probe.returncode, 0, probe.stderr)
                fields = dict(line.split("=", 1) for line in probe.stdout.split())
                self.assertEqual(fields["codec_name"], "h264")
                self.assertEqual((fields["width"], fields["height"]), ("640", "360"))
                self.assertGreaterEqual(int(fields["nb_read_frames"]), 1)
            elif shutil.which("ffmpeg"):
                decode = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-f", "null", "-"],
                                        capture_output=True, text=True, timeout=60)
                self.assertEqual(decode.returncode, 0, decode.stderr)
            else:
                print("no ffprobe or ffmpeg: the stream's NAL units were checked, not decoded")


class AudioOnStandardOutput(unittest.TestCase):
    RATE = 48000

    def capture_one_second(self, channels, rate=RATE, seconds=1.0):
        """One second (or seconds) of standard output from the first byte on, and how
        long it really took; then the rest up to the end, once standard input closed."""
        capture = Capture("audio", "--channels", str(channels), "--rate", str(rate))
        player = None
        try:
            capture.wait_started()
            # Something to hear; the capture delivers the system's output, silent or not.
            if os.path.exists("/usr/bin/afplay"):
                player = subprocess.Popen(["/usr/bin/afplay", "/System/Library/Sounds/Tink.aiff"],
                                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            out = capture.process.stdout.fileno()
            ready, _, _ = select.select([out], [], [], 10.0)
            self.assertTrue(ready, "no audio within 10 s of 'started'")
            first = time.monotonic()
            pcm = read_for(out, seconds)
            window = time.monotonic() - first
        finally:
            status = capture.finish()
            if player:
                player.wait(timeout=10)
        rest = capture.process.stdout.read()
        self.assertEqual(status, 0, capture.stderr)
        return pcm, window, pcm + rest

    def test_one_second_has_the_requested_channel_count(self):
        # The channel counts the capture framework offers.
        for channels in (1, 2):
            with self.subTest(channels=channels):
                window_pcm, window, pcm = self.capture_one_second(channels)
                frame = 2 * channels
                self.assertEqual(len(pcm) % frame, 0, "not whole frames of %d channels" % channels)
                # Frames of the requested width arrive at the capture's rate: with a
                # wrong channel count the apparent rate would be off by its ratio.
                # Generous bounds, as the capture delivers in pieces.
                frames_per_second = len(window_pcm) / frame / window
                self.assertGreater(frames_per_second, 0.6 * self.RATE)
                self.assertLess(frames_per_second, 1.4 * self.RATE)

    def test_rates_the_framework_does_not_take_are_converted(self):
        # Captured at 48000, 24000 and 48000 Hz and converted: unconverted audio would
        # come 8.8 % too fast, 8.8 % too fast and at half the rate.
        for rate in (44100, 22050, 96000):
            with self.subTest(rate=rate):
                window_pcm, window, pcm = self.capture_one_second(2, rate, seconds=3.0)
                self.assertEqual(len(pcm) % 4, 0, "not whole frames of 2 channels")
                frames_per_second = len(window_pcm) / 4 / window
                self.assertGreater(frames_per_second, 0.95 * rate)
                self.assertLess(frames_per_second, 1.05 * rate)


if __name__ == "__main__":
    if sys.platform != "darwin":
        print("skipped: the macOS end-to-end tests run only on a Mac")
        sys.exit(SKIPPED)
    if not os.access(BINARY, os.X_OK):
        print("no vx-capture at %s: build it first" % BINARY)
        sys.exit(1)
    unittest.main(verbosity=2)
