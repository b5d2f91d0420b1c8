"""Video mode end to end: how a capture ends when there is no X server, and when the X server
goes away while it runs."""
import os
import unittest

from video_capture import VideoCapture, access_units, run_to_end
from virtual_display import VirtualDisplay, require_tools


TOOLS = ("Xvfb",)


def unused_display():
    """A display number no local X server listens on."""
    for number in range(420, 520):
        if not os.path.exists(f"/tmp/.X11-unix/X{number}") and not os.path.exists(f"/tmp/.X{number}-lock"):
            return f":{number}"
    raise unittest.SkipTest("no free display number")


class NoServer(unittest.TestCase):
    def test_no_x_server_is_status_3_with_the_display_named(self):
        display = unused_display()
        status, stderr = run_to_end(dict(os.environ, DISPLAY=display))
        self.assertEqual(status, 3)
        self.assertEqual(stderr, f'vx-capture: could not start capture: cannot open X display "{display}"\n'.encode())

    def test_no_display_variable_is_status_3(self):
        environment = {key: value for key, value in os.environ.items() if key != "DISPLAY"}
        status, stderr = run_to_end(environment)
        self.assertEqual(status, 3)
        self.assertEqual(stderr, b"vx-capture: could not start capture: cannot open X display (DISPLAY is not set)\n")


@require_tools(*TOOLS)
class BitRateBeyondTheEncoder(unittest.TestCase):
    def test_every_rate_above_the_encoders_limit_fails_the_start_with_status_3(self):
        # Just above the limit; just above what x264 holds in an int; the largest the option takes.
        with VirtualDisplay(320, 240) as display:
            for kilobits in ("2000001", "2147483648", "9223372036854775"):
                with self.subTest(kilobits=kilobits):
                    status, stderr = run_to_end(display.env(), "--width", "320", "--height", "240",
                                                "--bitrate", kilobits)
                    self.assertEqual(status, 3)
                    self.assertEqual(stderr, b"vx-capture: could not start capture: the H.264 encoder "
                                             b"takes at most 2000000 kbit/s, not " + kilobits.encode() + b"\n")


@require_tools(*TOOLS)
class ServerGoesAway(unittest.TestCase):
    def test_killed_x_server_stops_the_capture_with_status_3(self):
        with VirtualDisplay(1280, 720) as display:
            display.start_motion("bar")
            name = display.display
            with VideoCapture(display.env(), "--width", "1280", "--height", "720") as capture:
                capture.wait_started()
                self.assertTrue(access_units(capture.read(1.0)), "no frames before the server went away")
                display.kill_server()
                capture.process.wait(15)
                status, stderr = capture.process.returncode, capture.process.stderr.read()
        self.assertEqual(status, 3)
        self.assertEqual(stderr, f'vx-capture: capture stopped: lost the connection to X display "{name}"\n'.encode())


if __name__ == "__main__":
    unittest.main()
