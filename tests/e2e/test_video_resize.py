"""Video mode end to end: the picture follows the screen when the X server changes its mode."""
import unittest

from video_capture import VideoCapture, access_units, decode_rgb, is_key_frame, join, near, pixel
from virtual_display import VirtualDisplay, require_tools

TOOLS = ("Xvfb", "xrandr", "xsetroot", "ffmpeg")
WIDTH, HEIGHT = 1280, 720
WHITE, BLACK = (255, 255, 255), (0, 0, 0)


def last_picture_from_last_key_frame(data):
    units = access_units(data)
    keys = [index for index, unit in enumerate(units) if is_key_frame(unit)]
    if not keys:
        return None
    frames = decode_rgb(join(units[keys[-1]:]), WIDTH, HEIGHT)
    return frames[-1] if frames else None


@require_tools(*TOOLS)
class ScreenChangesSize(unittest.TestCase):
    def test_the_picture_follows_a_mode_change_with_bars_and_a_key_frame(self):
        with VirtualDisplay(WIDTH, HEIGHT) as display:
            # Xvfb offers one mode; a smaller one added by hand can be switched to.
            display.run(["xrandr", "--newmode", "640x480", "25.17", "640", "656", "752", "800",
                         "480", "490", "492", "525"])
            display.run(["xrandr", "--addmode", "screen", "640x480"])
            display.fill("white")
            with VideoCapture(display.env(), "--width", str(WIDTH), "--height", str(HEIGHT),
                              "--fps", "30") as capture:
                capture.wait_started()
                # (mode, a point in the left bar of a 4:3 screen, whether it shows the screen)
                phases = [(None, True), ("640x480", False), ("1280x720", True)]
                for mode, left_is_screen in phases:
                    with self.subTest(mode=mode or "start"):
                        if mode:
                            display.run(["xrandr", "--output", "screen", "--mode", mode])
                            display.fill("white")
                        data = capture.read(2.0)
                        picture = last_picture_from_last_key_frame(data)
                        self.assertIsNotNone(picture, "no key frame after the change")
                        # (the pointer rests at the screen's centre: looked at elsewhere)
                        self.assertTrue(near(pixel(picture, WIDTH, 1000, 200), WHITE))
                        # 640x480 fits as 960x720 at x = 160: x = 80 is in the bar.
                        left = pixel(picture, WIDTH, 80, HEIGHT // 2)
                        self.assertTrue(near(left, WHITE if left_is_screen else BLACK), left)
                        self.assertTrue(near(pixel(picture, WIDTH, 200, 600), WHITE))
                        right = pixel(picture, WIDTH, WIDTH - 80, 600)
                        self.assertTrue(near(right, WHITE if left_is_screen else BLACK), right)


if __name__ == "__main__":
    unittest.main()
