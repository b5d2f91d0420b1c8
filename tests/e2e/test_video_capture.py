"""Video mode end to end: the real binary captures a private X display; what comes through the
pipe is decoded with ffprobe / ffmpeg. Moving content, a still screen, and readers that come
and go."""
import time
import unittest

from video_capture import (VideoCapture, access_units, decode_errors, is_key_frame, join,
                           join_from_key_frame, nal_type, probe_frames)
from virtual_display import VirtualDisplay, require_tools


TOOLS = ("Xvfb", "xrandr", "xsetroot", "xdotool", "ffmpeg", "ffprobe")


@require_tools(*TOOLS)
class MovingContent(unittest.TestCase):
    CASES = [
        # screen, options, decoded size
        ((1920, 1080), [], (1920, 1080)),
        ((2560, 1440), ["--width", "1281", "--height", "721"], (1280, 720)),
    ]

    def test_decodes_completely_at_the_output_size_without_b_frames(self):
        for screen, options, size in self.CASES:
            with self.subTest(screen=screen, options=options), VirtualDisplay(*screen) as display:
                display.start_motion("bar")
                with VideoCapture(display.env(), *options) as capture:
                    capture.wait_started()
                    units = access_units(capture.read(seconds=2.5))
                    status, rest = capture.finish()
                self.assertEqual((status, rest), (0, b""))

                self.assertTrue(units, "nothing came through the pipe")
                self.assertTrue(is_key_frame(units[0]),
                                f"the first unit holds {[nal_type(n) for n in units[0]]}, not SPS, PPS, IDR")
                stream = join(units)
                self.assertEqual(decode_errors(stream), "")
                facts, pictures = probe_frames(stream)
                self.assertEqual((facts.get("width"), facts.get("height")), size)
                self.assertEqual(facts.get("codec_name"), "h264")
                self.assertEqual(facts.get("has_b_frames"), 0)
                self.assertEqual(len(pictures), len(units), "every access unit is one picture")
                self.assertNotIn("B", pictures)
                self.assertEqual(pictures[0], "I")
                # Far beyond the idle repeat's ten a second: the motion itself is captured.
                self.assertGreater(len(pictures), 30)


@require_tools(*TOOLS)
class StillScreen(unittest.TestCase):
    def test_gives_about_ten_decodable_units_a_second(self):
        with VirtualDisplay(1280, 720) as display:
            display.fill("#336699")
            display.move_pointer(5, 5)
            with VideoCapture(display.env(), "--width", "1280", "--height", "720") as capture:
                capture.wait_started()
                started = time.monotonic()
                units = access_units(capture.read(seconds=3))
                elapsed = time.monotonic() - started
                status, _ = capture.finish()
        self.assertEqual(status, 0)
        rate = len(units) / elapsed
        self.assertGreaterEqual(rate, 3, f"{len(units)} units in {elapsed:.1f} s")
        self.assertLessEqual(rate, 15, f"{len(units)} units in {elapsed:.1f} s")
        self.assertEqual(decode_errors(join_from_key_frame(units)), "")


@require_tools(*TOOLS)
class ReaderComesBack(unittest.TestCase):
    ROUNDS = 8
    KEY_FRAME_WITHIN = 3.0  # seconds; normally a few hundred milliseconds

    def test_every_reader_gets_a_key_frame_soon_and_decodable_frames(self):
        waits = []
        with VirtualDisplay(1280, 720) as display:
            display.start_motion("bar")
            with VideoCapture(display.env(), "--width", "1280", "--height", "720") as capture:
                capture.wait_started()
                for round_number in range(self.ROUNDS):
                    with self.subTest(round=round_number):
                        opened = time.monotonic()
                        capture.open_reader()
                        data = capture.read(self.KEY_FRAME_WITHIN, enough=_has_key_frame)
                        waits.append(time.monotonic() - opened)
                        units = access_units(data + capture.read(0.3))
                        self.assertTrue(any(is_key_frame(u) for u in units),
                                        f"no key frame within {self.KEY_FRAME_WITHIN} s")
                        self.assertEqual(decode_errors(join_from_key_frame(units)), "")
                        capture.close_reader()
                        time.sleep(0.1)
                status, _ = capture.finish()
        self.assertEqual(status, 0)
        print(f"\nkey frame after reader attach: {', '.join(f'{w * 1000:.0f}' for w in waits)} ms")


def _has_key_frame(data):
    return any(is_key_frame(unit) for unit in access_units(data))


if __name__ == "__main__":
    unittest.main()
