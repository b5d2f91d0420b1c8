"""Video mode end to end: what the decoded pictures show. The chosen monitor, the black bars
around a monitor of another shape, and the pointer drawn in."""
import unittest

from video_capture import (VideoCapture, access_units, decode_rgb, join_from_key_frame, near,
                           pixel)
from virtual_display import VirtualDisplay, require_tools

RED, BLUE, WHITE, BLACK, GREY = (192, 48, 48), (48, 80, 192), (255, 255, 255), (0, 0, 0), (128, 128, 128)


TOOLS = ("Xvfb", "xrandr", "xsetroot", "xdotool", "ffmpeg")


def capture_frames(display, width, height, *options, seconds=1.5, during=None):
    """Decoded frames (RGB) of a short capture, from its first key frame on. during(), if
    given, runs half way through."""
    with VideoCapture(display.env(), "--width", str(width), "--height", str(height), *options) as capture:
        capture.wait_started()
        data = capture.read(seconds / 2)
        if during:
            during()
        data += capture.read(seconds / 2)
        status, rest = capture.finish()
    if (status, rest) != (0, b""):
        raise AssertionError(f"vx-capture ended with {status} and {rest!r}")
    frames = decode_rgb(join_from_key_frame(access_units(data)), width, height)
    if not frames:
        raise AssertionError("no decodable frame came through the pipe")
    return frames


@require_tools(*TOOLS)
class ChosenMonitor(unittest.TestCase):
    def test_display_option_picks_the_monitor_with_that_number(self):
        # Monitors 0 (red, 1920x1080 at 0,0) and 1 (blue, 1280x720 at 1920,0); the server
        # lists its own whole-screen monitor after them, as number 2.
        with VirtualDisplay(3200, 1080) as display:
            display.add_monitor("left", 1920, 1080, 0, 0)
            display.add_monitor("right", 1280, 720, 1920, 0)
            self.assertEqual([m[:2] for m in display.monitors()], [(0, "left"), (1, "right"), (2, "screen")])
            display.fill_rect(0xC03030, 0, 0, 1920, 1080)
            display.fill_rect(0x3050C0, 1920, 0, 1280, 1080)
            display.move_pointer(3199, 1079)   # below the right monitor: in no picture
            for option, colour in (("1", BLUE), ("0", RED), ("7", RED)):
                with self.subTest(display=option):
                    frame = capture_frames(display, 1280, 720, "--display", option)[-1]
                    for x, y in ((20, 20), (640, 360), (1260, 700)):
                        self.assertTrue(near(pixel(frame, 1280, x, y), colour),
                                        f"{pixel(frame, 1280, x, y)} at {x},{y}")


@require_tools(*TOOLS)
class FittedPicture(unittest.TestCase):
    def test_four_by_three_monitor_in_sixteen_by_nine_has_black_bars(self):
        # 1024x768 scaled to 1440x1080, centred in 1920x1080: bars 240 pixels wide.
        with VirtualDisplay(1024, 768) as display:
            display.fill("white")
            display.move_pointer(1023, 767)
            frame = capture_frames(display, 1920, 1080)[-1]
        expectations = [(0, BLACK), (200, BLACK), (280, WHITE), (960, WHITE), (1640, WHITE),
                        (1720, BLACK), (1919, BLACK)]
        for y in (10, 300, 1070):
            for x, colour in expectations:
                self.assertTrue(near(pixel(frame, 1920, x, y), colour),
                                f"{pixel(frame, 1920, x, y)} at {x},{y}, expected {colour}")


@require_tools(*TOOLS)
class Pointer(unittest.TestCase):
    def test_pointer_is_drawn_where_it_is_and_follows_when_it_moves(self):
        def changed(frame, x, y):
            """Whether the 24x24 square below and right of x,y differs from the grey background."""
            return any(not near(pixel(frame, 640, x + dx, y + dy), GREY, 40)
                       for dx in range(0, 24, 2) for dy in range(0, 24, 2))

        with VirtualDisplay(640, 480) as display:
            display.fill("#808080")
            display.move_pointer(100, 100)
            frames = capture_frames(display, 640, 480, seconds=2,
                                    during=lambda: display.move_pointer(400, 300))
        first, last = frames[0], frames[-1]
        self.assertTrue(changed(first, 90, 90) and not changed(first, 390, 290))
        self.assertTrue(changed(last, 390, 290) and not changed(last, 90, 90))


if __name__ == "__main__":
    unittest.main()
