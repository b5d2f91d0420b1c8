"""examples/parent.py, the parent shown to the companion's authors, run against the real binary
on a private X display and sound server: the file it writes must hold one H.264 stream at the
asked size and one PCM stream at the asked rate and channels."""
import json
import os
import subprocess
import sys
import tempfile
import unittest

from sound_server import SoundServer
from virtual_display import VirtualDisplay, require_tools

BUILD_DIR = os.environ.get("VX_BUILD_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "build"))
BINARY = os.path.join(BUILD_DIR, "vx-capture")
PARENT = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "parent.py")


def streams(path):
    probe = subprocess.run(["ffprobe", "-v", "error", "-show_streams", "-of", "json", path],
                           capture_output=True, text=True, check=True)
    return json.loads(probe.stdout)["streams"]


@require_tools("pulseaudio", "pactl", "pacat", "sox", "Xvfb", "ffmpeg", "ffprobe")
class ParentExampleTest(unittest.TestCase):
    def setUp(self):
        self.display = VirtualDisplay(640, 480)
        self.display.start()
        self.addCleanup(self.display.stop)
        self.display.start_motion()
        self.server = SoundServer()
        self.server.start()
        self.addCleanup(self.server.stop)
        self.folder = tempfile.TemporaryDirectory(prefix="vx-parent-test-")
        self.addCleanup(self.folder.cleanup)

    def run_parent(self, width, height, rate, channels):
        output = os.path.join(self.folder.name, f"{width}x{height}-{rate}-{channels}.mkv")
        run = subprocess.run([sys.executable, PARENT, "--binary", BINARY, "--seconds", "4",
                              "--width", str(width), "--height", str(height), "--fps", "30",
                              "--rate", str(rate), "--channels", str(channels), "--output", output],
                             env=self.server.env(base=self.display.env()), capture_output=True,
                             text=True, timeout=60)
        return run, output

    def test_the_file_holds_the_asked_picture_and_sound(self):
        for width, height, rate, channels in ((320, 180, 48000, 2), (400, 300, 44100, 1)):
            with self.subTest(size=(width, height), rate=rate, channels=channels):
                run, output = self.run_parent(width, height, rate, channels)
                self.assertEqual(run.returncode, 0, run.stderr)
                for line in ("parent: audio: started", "parent: video: started",
                             "parent: video: leaving the pipe and attaching again",
                             "parent: audio: ended with status 0", "parent: video: ended with status 0"):
                    self.assertIn(line, run.stderr.splitlines())
                found = streams(output)
                video = [s for s in found if s["codec_type"] == "video"]
                audio = [s for s in found if s["codec_type"] == "audio"]
                self.assertEqual(len(video), 1, found)
                self.assertEqual(len(audio), 1, found)
                self.assertEqual((video[0]["codec_name"], video[0]["width"], video[0]["height"]),
                                 ("h264", width, height))
                self.assertEqual((audio[0]["codec_name"], int(audio[0]["sample_rate"]), audio[0]["channels"]),
                                 ("pcm_s16le", rate, channels))
                # The whole file decodes: both segments of the stream (before and after the
                # parent re-attached) start with what a decoder needs.
                decoded = subprocess.run(["ffmpeg", "-v", "error", "-i", output, "-f", "null", "-"],
                                         capture_output=True, text=True)
                self.assertEqual(decoded.returncode, 0, decoded.stderr)

    def test_a_start_that_fails_is_retried_with_a_growing_pause(self):
        # No X display at all: video ends with status 3 each time and is started again.
        output = os.path.join(self.folder.name, "audio-only.mkv")
        env = self.server.env(base=self.display.env(DISPLAY=":9999"))
        run = subprocess.run([sys.executable, PARENT, "--binary", BINARY, "--seconds", "4",
                              "--output", output], env=env, capture_output=True, text=True, timeout=60)
        lines = run.stderr.splitlines()
        self.assertIn("parent: video: restarting in 0.5 s", lines, run.stderr)
        self.assertIn("parent: video: restarting in 1 s", lines, run.stderr)
        self.assertNotIn("parent: video: started", lines)


if __name__ == "__main__":
    unittest.main()
