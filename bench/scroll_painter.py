"""Deterministic screen content for the pipeline benchmark: a full screen of text that scrolls
like a busy terminal, the same page held still, or the still page with an 80x24 terminal on it
that gains a line at each update ("typing"), painted on the root window of an X display through
libX11 (ctypes).

    python3 bench/scroll_painter.py DISPLAY scroll [--rate 60] [--lines-per-update 1]
    python3 bench/scroll_painter.py DISPLAY still
    python3 bench/scroll_painter.py DISPLAY typing [--rate 30]

Scrolling moves the whole page up with one server-side copy per update and draws the new lines
at the bottom, as terminals do; line n of the text is the same on every run and every machine
(the font may differ: a 18-pixel fixed font where the server has one, else the built-in "fixed").
The painter runs until SIGTERM and writes the CLOCK_MONOTONIC time of every update to standard
output, one line each, so that the benchmark knows how often the content really changed.
Painter starts one from Python; XCanvas is also what the benchmark uses to flip colours.
"""
import argparse
import bisect
import ctypes
import os
import random
import signal
import subprocess
import sys
import threading
import time

BACKGROUND = 0x1c1f26
COLOURS = (0xd8dee9, 0x88c0d0, 0xa3be8c, 0xebcb8b, 0xbf616a, 0xb48ead)
WORDS = ("return", "static", "const", "frame", "buffer", "encoder", "if", "else", "for", "while",
         "size_t", "uint8_t", "picture", "stride", "width", "height", "->", "==", "+=", "{", "}",
         "(", ")", ";", "0x1f", "42", "1080", "nullptr", "std::vector", "lock", "queue", "write",
         "read", "status", "error", "ms", "INFO", "WARN", "DEBUG", "request", "GET", "/api/v1",
         "200", "bytes", "took", "user", "session", "cache", "miss", "hit", "key", "value")
FONTS = (b"-misc-fixed-medium-r-normal--18-*-*-*-*-*-iso8859-1", b"fixed")


class _CharStruct(ctypes.Structure):
    _fields_ = [("lbearing", ctypes.c_short), ("rbearing", ctypes.c_short),
                ("width", ctypes.c_short), ("ascent", ctypes.c_short),
                ("descent", ctypes.c_short), ("attributes", ctypes.c_ushort)]


class _FontStruct(ctypes.Structure):
    _fields_ = [("ext_data", ctypes.c_void_p), ("fid", ctypes.c_ulong),
                ("direction", ctypes.c_uint), ("min_char_or_byte2", ctypes.c_uint),
                ("max_char_or_byte2", ctypes.c_uint), ("min_byte1", ctypes.c_uint),
                ("max_byte1", ctypes.c_uint), ("all_chars_exist", ctypes.c_int),
                ("default_char", ctypes.c_uint), ("n_properties", ctypes.c_int),
                ("properties", ctypes.c_void_p), ("min_bounds", _CharStruct),
                ("max_bounds", _CharStruct), ("per_char", ctypes.c_void_p),
                ("ascent", ctypes.c_int), ("descent", ctypes.c_int)]


class XCanvas:
    """The root window of a display: rectangles, text and copies, one GC, no exposure events."""

    def __init__(self, display):
        x11 = ctypes.CDLL("libX11.so.6")
        p, ul, i, u = ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_uint
        x11.XOpenDisplay.restype, x11.XOpenDisplay.argtypes = p, [ctypes.c_char_p]
        x11.XDefaultRootWindow.restype, x11.XDefaultRootWindow.argtypes = ul, [p]
        x11.XDefaultScreen.argtypes = [p]
        x11.XDisplayWidth.argtypes = x11.XDisplayHeight.argtypes = [p, i]
        x11.XCreateGC.restype, x11.XCreateGC.argtypes = p, [p, ul, ul, p]
        x11.XSetForeground.argtypes = [p, p, ul]
        x11.XSetGraphicsExposures.argtypes = [p, p, i]
        x11.XFillRectangle.argtypes = [p, ul, p, i, i, u, u]
        x11.XCopyArea.argtypes = [p, ul, ul, p, i, i, u, u, i, i]
        x11.XLoadQueryFont.restype = ctypes.POINTER(_FontStruct)
        x11.XLoadQueryFont.argtypes = [p, ctypes.c_char_p]
        x11.XSetFont.argtypes = [p, p, ul]
        x11.XDrawString.argtypes = [p, ul, p, i, i, ctypes.c_char_p, i]
        x11.XSync.argtypes = [p, i]
        x11.XFlush.argtypes = [p]
        x11.XCloseDisplay.argtypes = [p]
        self.x11 = x11
        self.connection = x11.XOpenDisplay(display.encode())
        if not self.connection:
            raise RuntimeError(f"cannot open X display {display}")
        self.root = x11.XDefaultRootWindow(self.connection)
        screen = x11.XDefaultScreen(self.connection)
        self.width = x11.XDisplayWidth(self.connection, screen)
        self.height = x11.XDisplayHeight(self.connection, screen)
        self.gc = x11.XCreateGC(self.connection, self.root, 0, None)
        x11.XSetGraphicsExposures(self.connection, self.gc, 0)
        self.font_name, self.char_width, self.ascent, self.line_height = "", 0, 0, 0

    def use_font(self):
        for name in FONTS:
            font = self.x11.XLoadQueryFont(self.connection, name)
            if font:
                self.x11.XSetFont(self.connection, self.gc, font.contents.fid)
                self.font_name = name.decode()
                self.char_width = max(1, font.contents.max_bounds.width)
                self.ascent = font.contents.ascent
                self.line_height = font.contents.ascent + font.contents.descent
                return
        raise RuntimeError("the X server has no usable font")

    def rect(self, rgb, x, y, w, h):
        self.x11.XSetForeground(self.connection, self.gc, rgb)
        self.x11.XFillRectangle(self.connection, self.root, self.gc, x, y, w, h)

    def text(self, rgb, x, baseline, string):
        data = string.encode()
        self.x11.XSetForeground(self.connection, self.gc, rgb)
        self.x11.XDrawString(self.connection, self.root, self.gc, x, baseline, data, len(data))

    def copy(self, x, y, w, h, to_x, to_y):
        self.x11.XCopyArea(self.connection, self.root, self.root, self.gc, x, y, w, h, to_x, to_y)

    def sync(self):
        """Returns once the server has carried out everything sent so far."""
        self.x11.XSync(self.connection, 0)

    def close(self):
        self.x11.XCloseDisplay(self.connection)


def line_tokens(number, columns):
    """Line `number` of the text: [(column, colour, word)], the same on every run."""
    chooser = random.Random(number * 7919 + 17)
    column = 4 * chooser.randrange(0, 6)
    tokens = []
    while True:
        word = chooser.choice(WORDS)
        if column + len(word) > columns - 1 or (tokens and chooser.random() < 0.06):
            break
        tokens.append((column, chooser.choice(COLOURS), word))
        column += len(word) + 1
    return tokens


class TextPage:
    """Lines of text in a rectangle of the canvas (the whole of it unless told), scrolling up."""

    def __init__(self, canvas, left=0, top=0, columns=None, rows=None, background=BACKGROUND):
        canvas.use_font()
        self.canvas = canvas
        self.left, self.top, self.background = left, top, background
        self.columns = columns or canvas.width // canvas.char_width
        self.rows = rows or canvas.height // canvas.line_height + 1
        self.width = self.columns * canvas.char_width if columns else canvas.width
        self.height = self.rows * canvas.line_height if rows else canvas.height
        self.first = 0  # number of the line at the top

    def draw_line(self, number, row):
        c = self.canvas
        top = self.top + row * c.line_height
        c.rect(self.background, self.left, top, self.width, c.line_height)
        # Consecutive words of one colour go out as one string.
        for column, colour, word in line_tokens(number, self.columns):
            c.text(colour, self.left + column * c.char_width, top + c.ascent, word)

    def draw_page(self):
        self.canvas.rect(self.background, self.left, self.top, self.width, self.height)
        for row in range(self.rows):
            self.draw_line(self.first + row, row)

    def scroll(self, lines):
        c = self.canvas
        shift = lines * c.line_height
        c.copy(self.left, self.top + shift, self.width, self.height - shift, self.left, self.top)
        self.first += lines
        bottom = (self.height - shift) // c.line_height
        for row in range(bottom, self.rows):
            self.draw_line(self.first + row, row)


TERMINAL_BACKGROUND = 0x0b0d10


def terminal(canvas):
    """An 80x24 terminal on the page (whose font is loaded), a little in from its top-left corner."""
    page = TextPage(canvas, left=3 * canvas.char_width, top=2 * canvas.line_height,
                    columns=80, rows=24, background=TERMINAL_BACKGROUND)
    page.first = 100000  # other lines than the page behind it
    return page


def paint(display, mode, rate, lines_per_update):
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    canvas = XCanvas(display)
    page = TextPage(canvas)
    page.draw_page()
    if mode == "typing":
        page = terminal(canvas)
        page.draw_page()
    canvas.sync()
    if mode == "still":
        while True:
            signal.pause()
    next_time = time.monotonic()
    while True:
        page.scroll(lines_per_update)
        canvas.sync()
        sys.stdout.write(f"{time.monotonic():.6f}\n")
        sys.stdout.flush()
        next_time += 1.0 / rate
        delay = next_time - time.monotonic()
        if delay > 0:
            time.sleep(delay)
        else:
            next_time = time.monotonic()


class Painter:
    """This script running as a process on a display, with the times of its updates."""

    def __init__(self, display, mode, rate=60.0, settle=1.0):
        self.process = subprocess.Popen(
            [sys.executable, os.path.abspath(__file__), display, mode, "--rate", str(rate)],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
        self.updates = []
        self._thread = threading.Thread(target=self._collect, daemon=True)
        self._thread.start()
        time.sleep(settle)

    def _collect(self):
        for line in self.process.stdout:
            self.updates.append(float(line))

    def rate_between(self, start, end):
        """Updates per second from start to end (CLOCK_MONOTONIC seconds)."""
        count = bisect.bisect_right(self.updates, end) - bisect.bisect_right(self.updates, start)
        return count / (end - start) if end > start else 0.0

    def stop(self):
        self.process.terminate()
        try:
            self.process.wait(5)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self._thread.join(2)
        self.process.stdout.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
        return False


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("display")
    parser.add_argument("mode", choices=("scroll", "still", "typing"))
    parser.add_argument("--rate", type=float, default=60.0, help="updates per second")
    parser.add_argument("--lines-per-update", type=int, default=1)
    args = parser.parse_args()
    paint(args.display, args.mode, args.rate, args.lines_per_update)


if __name__ == "__main__":
    main()
