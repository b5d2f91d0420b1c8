"""How a capture ends while its output is stuck or busy: the X server or the sound server lost
while nobody reads what the process writes (its writes wait, or it has no reader at all), and
the end of standard input under a full 1080p60 load. Each ending is one documented line (or
none) and its status, however busy or blocked the output is.

The plain cases (a server lost while the output is read) are in test_video_endings.py and
test_audio_capture.py.
"""
import os
import select
import subprocess
import threading
import time
import unittest

from sound_server import SoundServer
from video_capture import BINARY, VideoCapture, access_units
from virtual_display import VirtualDisplay, require_tools


TOOLS = ("Xvfb", "pulseaudio", "pactl", "pacat", "sox")


def wait_for_end(process, timeout=15):
    try:
        return process.wait(timeout)
    except subprocess.TimeoutExpired:
        raise AssertionError("vx-capture did not end") from None


class Drain:
    """A reader that empties the pipe as fast as it can, on a thread, counting the bytes."""

    def __init__(self, fd):
        self.fd = fd
        self.data = bytearray()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        # Until the writer has opened its end, a read would find no writer and return
        # nothing; select waits for the first bytes.
        select.select([self.fd], [], [], 5.0)
        while True:
            try:
                chunk = os.read(self.fd, 1 << 20)
            except OSError:
                return
            if not chunk:
                return
            if len(self.data) < 4 << 20:   # enough to look at; the rest is only counted
                self.data += chunk


@require_tools(*TOOLS)
class XServerLostWhileTheOutputWaits(unittest.TestCase):
    def test_one_line_and_status_3_whatever_the_reader_does(self):
        # reader: "stalled" opens the pipe and stops reading (the encoder's output waits in
        # its write); "none" never opens it (frames are dropped, the writer waits in open).
        for reader in ("stalled", "none"):
            with self.subTest(reader=reader), VirtualDisplay(1920, 1080) as display:
                display.start_motion("bar")
                name = display.display
                with VideoCapture(display.env()) as capture:
                    capture.wait_started()
                    if reader == "stalled":
                        self.assertTrue(capture.read(2.0, enough=len), "nothing came through the pipe")
                    time.sleep(1.5)
                    display.kill_server()
                    status = wait_for_end(capture.process)
                    rest = capture.process.stderr.read()
                self.assertEqual((status, rest),
                                 (3, f'vx-capture: capture stopped: lost the connection to X display "{name}"\n'.encode()))


@require_tools(*TOOLS)
class SoundServerLostWhileTheOutputWaits(unittest.TestCase):
    def test_one_line_and_status_3_when_standard_output_is_not_read(self):
        with VirtualDisplay(320, 240) as display, SoundServer() as server:
            process = subprocess.Popen([BINARY, "audio"], env=server.env(base=display.env()),
                                       stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                       stderr=subprocess.PIPE)
            try:
                self.assertEqual(process.stderr.readline(), b"started\n")
                # 192 kB a second of PCM: standard output's pipe is full well before this,
                # and the writer waits in its write.
                time.sleep(2.0)
                server.kill()
                status = wait_for_end(process)
                rest = process.stderr.read()
            finally:
                if process.poll() is None:
                    process.kill()
                process.wait()
                for stream in (process.stdin, process.stdout, process.stderr):
                    stream.close()
        lines = rest.decode().splitlines(keepends=True)
        self.assertEqual(status, 3, rest)
        self.assertEqual(len(lines), 1, rest)
        self.assertTrue(lines[0].startswith("vx-capture: capture stopped: ") and lines[0].endswith("\n"), rest)


@require_tools(*TOOLS)
class EndOfInputUnderFullLoad(unittest.TestCase):
    def test_status_0_and_nothing_on_standard_error(self):
        # Full-screen scrolling at 1080p60 (every row changes every frame) with a reader
        # draining the pipe; standard input ends at once after the start and in full flow.
        for after in (0.0, 3.0):
            with self.subTest(after=after), VirtualDisplay(1920, 1080) as display:
                display.start_motion("scroll", rate=60)
                with VideoCapture(display.env(), "--fps", "60") as capture:
                    capture.wait_started()
                    capture.open_reader()
                    drain = Drain(capture.reader)
                    time.sleep(after)
                    status, rest = capture.finish()
                    drain.thread.join(10)
                self.assertEqual((status, rest), (0, b""))
                if after:
                    units = access_units(bytes(drain.data))
                    self.assertGreater(len(units), 30, "the capture was not in full flow")


if __name__ == "__main__":
    unittest.main()
