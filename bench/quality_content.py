"""The pictures the quality benchmark shows and compares against: six contents of 1280x720, each
a numbered sequence of pictures that carry their number in a stamp at the top-left corner.

    content = make("scroll", fps=60)
    number = content.number_at(frame)          # which picture is on screen at frame `frame`
    bgrx = content.picture(number)             # HxWx4 uint8, B G R X, the stamp drawn in
    luma = reference_luma(bgrx)                # Y in BT.709 video range, float32
    number = read_stamp(decoded_y)             # None when the stamp does not read back

The stamp is the picture's number in 16 blocks of 16x16 pixels (white for a one bit) with its
complement in a second row below, so that a stamp damaged by coding reads as None rather
than as another number. Blocks on the macroblock grid survive any rate of the benchmark.
Everything is computed from fixed seeds: the same picture on every run and every machine
with the same fonts (DejaVu Sans Mono, Debian's fonts-dejavu-core).
"""
import math
import os
import sys
import tempfile

import numpy as np
from PIL import Image, ImageDraw, ImageFont

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from scroll_painter import BACKGROUND, TERMINAL_BACKGROUND, line_tokens  # noqa: E402

WIDTH, HEIGHT = 1280, 720
STAMP_BITS, STAMP_BLOCK = 16, 16
FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf"
FONT_SIZE, LINE_HEIGHT = 15, 18
CONTENTS = ("still page", "still photo", "typing", "scroll", "pan", "cut")
SCROLL_SPEED = 240       # pixels a second
TYPING_SPEED = 20        # characters a second
PAN_PERIOD = 8.0         # seconds of one camera loop
CUT_PERIOD = 2.0         # seconds between cuts (text, noise, text, ...)


def rgb(value):
    return (value >> 16) & 255, (value >> 8) & 255, value & 255


def _font():
    return ImageFont.truetype(FONT, FONT_SIZE)


def _bgrx(image):
    """A PIL RGB image as an HxWx4 B G R X array."""
    data = image.tobytes("raw", "BGRX")
    return np.frombuffer(data, np.uint8).reshape(image.height, image.width, 4).copy()


def text_lines(first, count, columns, background, width):
    """Lines first..first+count of the benchmark's text (scroll_painter's), as an image."""
    font = _font()
    char_width = round(font.getlength("M"))
    image = Image.new("RGB", (width, count * LINE_HEIGHT), rgb(background))
    draw = ImageDraw.Draw(image)
    for row in range(count):
        for column, colour, word in line_tokens(first + row, columns):
            draw.text((column * char_width, row * LINE_HEIGHT + 2), word, fill=rgb(colour), font=font)
    return image


def photo(width, height, seed):
    """A photo-like landscape: sky, hills with textured foliage, a sun, and film grain. Made once
    per machine (it takes seconds) and kept in the temporary folder: every process that shows
    or compares it would otherwise make it again."""
    path = os.path.join(tempfile.gettempdir(), f"vx-quality-photo-{width}x{height}-{seed}.npy")
    try:
        return np.load(path)
    except (OSError, ValueError):
        pass
    picture = _make_photo(width, height, seed)
    fd, temporary = tempfile.mkstemp(dir=os.path.dirname(path), suffix=".npy")
    with os.fdopen(fd, "wb") as f:
        np.save(f, picture)
    os.replace(temporary, path)
    return picture


def _make_photo(width, height, seed):
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:height, 0:width].astype(np.float32)
    u, v = x / width, y / height

    def smooth_noise(octaves):
        total = np.zeros((height, width), np.float32)
        for octave in range(octaves):
            cells = 4 << octave
            grid = rng.random((cells + 1, cells + 1)).astype(np.float32)
            small = Image.fromarray((grid * 255).astype(np.uint8))
            total += np.asarray(small.resize((width, height), Image.BICUBIC), np.float32) / 255 / (octave + 1)
        return total / sum(1 / (o + 1) for o in range(octaves))

    picture = np.empty((height, width, 3), np.float32)
    sky = np.stack([110 + 90 * v, 150 + 70 * v, 230 - 20 * v], axis=-1)
    clouds = np.clip(smooth_noise(5) - 0.45, 0, 1)[..., None] * 300
    picture[:] = np.minimum(sky + clouds, 255)
    sun = np.exp(-(((u - 0.75) * width) ** 2 + ((v - 0.2) * height) ** 2) / (2 * (0.04 * width) ** 2))
    picture += sun[..., None] * np.array([120, 100, 40], np.float32)
    texture = smooth_noise(7)
    for base, amplitude, colour in ((0.55, 0.08, (70, 110, 60)), (0.7, 0.06, (50, 90, 40)),
                                    (0.85, 0.04, (90, 70, 45))):
        ridge = base + amplitude * (np.sin(u * 9 + base * 20) + 0.5 * np.sin(u * 23 + base * 7))
        land = v > ridge
        shade = (0.6 + 0.8 * texture)[..., None] * np.array(colour, np.float32)
        picture[land] = shade[land]
    grain = rng.normal(0, 7, (height, width, 1)).astype(np.float32) + rng.normal(0, 3, (height, width, 3))
    return np.clip(picture + grain, 0, 255).astype(np.uint8)


def draw_stamp(bgrx, number):
    for row, value in enumerate((number, ~number & 0xFFFF)):
        for bit in range(STAMP_BITS):
            on = (value >> (STAMP_BITS - 1 - bit)) & 1
            top, left = row * STAMP_BLOCK, bit * STAMP_BLOCK
            bgrx[top:top + STAMP_BLOCK, left:left + STAMP_BLOCK, :3] = 255 if on else 0
    return bgrx


def read_stamp(luma):
    """The number in the stamp of a decoded picture's luma (HxW), or None if it does not read."""
    values = []
    for row in range(2):
        blocks = luma[row * STAMP_BLOCK + 4:(row + 1) * STAMP_BLOCK - 4, :STAMP_BITS * STAMP_BLOCK]
        means = blocks.reshape(STAMP_BLOCK - 8, STAMP_BITS, STAMP_BLOCK)[:, :, 4:-4].mean(axis=(0, 2))
        values.append(sum(int(m > 125) << (STAMP_BITS - 1 - i) for i, m in enumerate(means)))
    return values[0] if values[1] == (~values[0] & 0xFFFF) else None


def reference_luma(bgrx):
    """Luma of a B G R X picture in BT.709 video range (16-235), as the encoders should make it."""
    b, g, r = (bgrx[..., i].astype(np.float32) for i in range(3))
    return 16 + (219 / 255) * (0.2126 * r + 0.7152 * g + 0.0722 * b)


class Content:
    """A numbered sequence of pictures shown at `fps`; number_at(frame) says which is shown."""
    still = False

    def __init__(self, fps):
        self.fps = fps

    def number_at(self, frame):
        return 0

    def picture(self, number):
        return draw_stamp(self._picture(number), number)


class StillPage(Content):
    still = True

    def __init__(self, fps):
        super().__init__(fps)
        columns = WIDTH // round(_font().getlength("M"))
        self.page = _bgrx(text_lines(0, HEIGHT // LINE_HEIGHT, columns, BACKGROUND, WIDTH))

    def _picture(self, number):
        return self.page.copy()


class StillPhoto(Content):
    still = True

    def __init__(self, fps):
        super().__init__(fps)
        self.image = _bgrx(Image.fromarray(photo(WIDTH, HEIGHT, seed=7)))

    def _picture(self, number):
        return self.image.copy()


class Scroll(Content):
    """A page of text moving up SCROLL_SPEED pixels a second; it repeats after PERIOD_LINES."""
    PERIOD_LINES = 134

    def __init__(self, fps):
        super().__init__(fps)
        columns = WIDTH // round(_font().getlength("M"))
        lines = self.PERIOD_LINES + HEIGHT // LINE_HEIGHT + 1
        tall = _bgrx(text_lines(0, lines, columns, BACKGROUND, WIDTH))
        tall[self.PERIOD_LINES * LINE_HEIGHT:] = tall[:len(tall) - self.PERIOD_LINES * LINE_HEIGHT]
        self.tall = tall
        self.step = SCROLL_SPEED // fps

    def number_at(self, frame):
        return (frame * self.step) % (self.PERIOD_LINES * LINE_HEIGHT)

    def _picture(self, number):
        return self.tall[number:number + HEIGHT].copy()


class Typing(Content):
    """A terminal where text appears a character at a time, scrolling a line when it is full."""
    COLUMNS, ROWS, LINES = 100, 36, 400

    def __init__(self, fps):
        super().__init__(fps)
        self.char_width = round(_font().getlength("M"))
        self.left, self.top = 40, 48
        typed = text_lines(5000, self.LINES, self.COLUMNS, TERMINAL_BACKGROUND, self.COLUMNS * self.char_width)
        self.typed = _bgrx(typed)
        lengths = [max((c + len(w) for c, _, w in line_tokens(5000 + n, self.COLUMNS)), default=1)
                   for n in range(self.LINES)]
        self.ends = np.cumsum(lengths)
        self.blank = _bgrx(Image.new("RGB", (WIDTH, HEIGHT), rgb(BACKGROUND)))
        self.blank[self.top:self.top + self.ROWS * LINE_HEIGHT,
                   self.left:self.left + self.COLUMNS * self.char_width] = self.typed[0, 0]

    def number_at(self, frame):
        return int(frame * TYPING_SPEED / self.fps) % int(self.ends[-1])

    def _picture(self, number):
        line = int(np.searchsorted(self.ends, number, side="right"))
        column = number - (int(self.ends[line - 1]) if line else 0)
        first = max(0, line - self.ROWS + 1)
        picture = self.blank.copy()
        h, cw = LINE_HEIGHT, self.char_width
        done = self.typed[first * h:line * h]
        picture[self.top:self.top + len(done), self.left:self.left + done.shape[1]] = done
        row_top = self.top + (line - first) * h
        picture[row_top:row_top + h, self.left:self.left + column * cw] = \
            self.typed[line * h:(line + 1) * h, :column * cw]
        picture[row_top + 2:row_top + h - 1, self.left + column * cw:self.left + (column + 1) * cw, :3] = 200
        return picture


class Pan(Content):
    """A camera moving over a photo twice the screen's size, panning and zooming in a loop
    (nearest-neighbour sampling: a picture costs a few milliseconds, so the player keeps up)."""

    def __init__(self, fps):
        super().__init__(fps)
        image = _bgrx(Image.fromarray(photo(2 * WIDTH, 2 * HEIGHT, seed=11)))
        self.pixels = image.view(np.uint32)[..., 0]      # one 32-bit B G R X word a pixel
        self.frames = int(PAN_PERIOD * fps)

    def number_at(self, frame):
        return frame % self.frames

    def _picture(self, number):
        phase = 2 * math.pi * number / self.frames
        zoom = 1.25 + 0.25 * math.sin(phase)               # source pixels per screen pixel
        w, h = WIDTH * zoom, HEIGHT * zoom
        left = WIDTH - w / 2 + (WIDTH - w / 2) * 0.9 * math.sin(phase)
        top = HEIGHT - h / 2 + (HEIGHT - h / 2) * 0.9 * math.sin(2 * phase)
        rows = (top + np.arange(HEIGHT) * zoom).astype(np.intp)
        columns = (left + np.arange(WIDTH) * zoom).astype(np.intp)
        return self.pixels[rows[:, None], columns[None, :]].view(np.uint8).reshape(HEIGHT, WIDTH, 4)


class Cut(Content):
    """The still page, then noise, then the page again: a cut every CUT_PERIOD seconds."""

    def __init__(self, fps):
        super().__init__(fps)
        self.page = StillPage(fps).page
        rng = np.random.default_rng(3)
        self.noise = rng.integers(0, 256, (HEIGHT, WIDTH, 4), dtype=np.uint8)

    def number_at(self, frame):
        return int(frame / (CUT_PERIOD * self.fps)) % 2

    def _picture(self, number):
        return (self.noise if number else self.page).copy()


def make(name, fps):
    kinds = {"still page": StillPage, "still photo": StillPhoto, "typing": Typing,
             "scroll": Scroll, "pan": Pan, "cut": Cut}
    return kinds[name](fps)
