"""Video mode end to end: what a reader that attaches gets first. The real binary captures a
private X display with moving content while readers come and go; every reader's stream must
begin with SPS, PPS and an IDR frame, whatever was inside the encoder when it came."""
import time
import unittest

from video_capture import (IDR, PPS, SPS, VideoCapture, decode_errors, decode_rgb, nal_type, nal_units,
                           near, pixel)
from virtual_display import VirtualDisplay, require_tools


TOOLS = ("Xvfb", "ffmpeg")


def first_types(data, count=3):
    return [nal_type(unit) for unit in nal_units(data)[:count]]


def has_idr(data):
    return IDR in [nal_type(unit) for unit in nal_units(data)[:8]]


@require_tools(*TOOLS)
class ReadersOfAMovingScreen(unittest.TestCase):
    ATTACHES = 16

    def test_every_reader_begins_with_sps_pps_and_an_idr_frame(self):
        with VirtualDisplay(1280, 720) as display:
            display.start_motion("scroll")
            with VideoCapture(display.env(), "--width", "1280", "--height", "720") as capture:
                capture.wait_started()
                for attach in range(self.ATTACHES):
                    with self.subTest(attach=attach):
                        capture.open_reader()
                        data = capture.read(5.0, enough=has_idr)
                        data += capture.read(0.2)
                        self.assertEqual(first_types(data), [SPS, PPS, IDR],
                                         f"the stream begins with NAL units {first_types(data, 6)}")
                        if attach % 4 == 0:
                            self.assertEqual(decode_errors(data), "")
                        capture.close_reader()
                        time.sleep(0.05 + 0.02 * (attach % 5))
                status, rest = capture.finish()
        self.assertEqual((status, rest), (0, b""))


@require_tools(*TOOLS)
class ReaderOfAStillScreen(unittest.TestCase):
    def test_a_reader_after_a_change_nobody_watched_gets_the_current_picture(self):
        # The screen changes while nobody reads; the first picture a reader gets shows the
        # change, not the screen as it was before.
        with VirtualDisplay(640, 480) as display:
            display.fill("#204080")
            display.move_pointer(639, 479)
            with VideoCapture(display.env(), "--width", "640", "--height", "480") as capture:
                capture.wait_started()
                capture.read(1.0, enough=has_idr)
                capture.close_reader()
                time.sleep(0.3)
                display.fill("#c0c0c0")
                time.sleep(0.5)
                capture.open_reader()
                data = capture.read(5.0, enough=has_idr)
                status, _ = capture.finish()
        self.assertEqual(status, 0)
        self.assertEqual(first_types(data), [SPS, PPS, IDR])
        frames = decode_rgb(data, 640, 480)
        self.assertTrue(frames, "no picture decoded")
        self.assertTrue(near(pixel(frames[0], 640, 100, 100), (192, 192, 192)),
                        f"the first picture shows {pixel(frames[0], 640, 100, 100)}")


if __name__ == "__main__":
    unittest.main()
