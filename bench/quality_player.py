"""Shows one content of the quality benchmark on the root window of an X display, a picture per
frame at the content's rate (libX11 through ctypes), each copied onto the screen whole, so that
a capture never sees half of one picture and half of another, and with an empty pointer.

    /usr/bin/python3 bench/quality_player.py DISPLAY "scroll" --fps 60

A picture is sent only when the number on screen changes (a still content is sent once). Every
frame's picture is shown, in order: on a busy machine the player falls behind the clock rather
than skip pictures, so that every capture sees the same sequence (the content moves no
further from one picture to the next); which picture a capture saw is read from its stamp. It
writes "shown" to standard output once the first picture is on screen, and on SIGTERM how many
pictures it showed and how many frames came later than their time.
"""
import argparse
import ctypes
import os
import signal
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import quality_content  # noqa: E402

Z_PIXMAP = 2


class _Image(ctypes.Structure):
    # The leading fields of Xlib's XImage; only `data` is written here.
    _fields_ = [("width", ctypes.c_int), ("height", ctypes.c_int), ("xoffset", ctypes.c_int),
                ("format", ctypes.c_int), ("data", ctypes.c_void_p)]


class RootWindow:
    """The root window of a display and one 32-bit ZPixmap image that pictures are put through."""

    def __init__(self, display, width, height):
        x11 = ctypes.CDLL("libX11.so.6")
        p, ul, i, u = ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_uint
        x11.XOpenDisplay.restype, x11.XOpenDisplay.argtypes = p, [ctypes.c_char_p]
        x11.XDefaultRootWindow.restype, x11.XDefaultRootWindow.argtypes = ul, [p]
        x11.XDefaultScreen.argtypes = [p]
        x11.XDefaultVisual.restype, x11.XDefaultVisual.argtypes = p, [p, i]
        x11.XCreateGC.restype, x11.XCreateGC.argtypes = p, [p, ul, ul, p]
        x11.XCreateImage.restype = ctypes.POINTER(_Image)
        x11.XCreateImage.argtypes = [p, p, u, i, i, p, u, u, i, i]
        x11.XPutImage.argtypes = [p, ul, p, ctypes.POINTER(_Image), i, i, i, i, u, u]
        x11.XCreatePixmap.restype, x11.XCreatePixmap.argtypes = ul, [p, ul, u, u, u]
        x11.XCopyArea.argtypes = [p, ul, ul, p, i, i, u, u, i, i]
        x11.XCreateBitmapFromData.restype = ul
        x11.XCreateBitmapFromData.argtypes = [p, ul, ctypes.c_char_p, u, u]
        x11.XCreatePixmapCursor.restype = ul
        x11.XCreatePixmapCursor.argtypes = [p, ul, ul, p, p, u, u]
        x11.XDefineCursor.argtypes = [p, ul, ul]
        x11.XSync.argtypes = [p, i]
        self.x11 = x11
        self.connection = x11.XOpenDisplay(display.encode())
        if not self.connection:
            raise RuntimeError(f"cannot open X display {display}")
        self.root = x11.XDefaultRootWindow(self.connection)
        visual = x11.XDefaultVisual(self.connection, x11.XDefaultScreen(self.connection))
        self.gc = x11.XCreateGC(self.connection, self.root, 0, None)
        self.width, self.height = width, height
        self.pixmap = x11.XCreatePixmap(self.connection, self.root, width, height, 24)
        # An empty pointer, so that neither capture draws one over the pictures.
        empty = x11.XCreateBitmapFromData(self.connection, self.root, b"\0", 1, 1)
        colour = (ctypes.c_ushort * 8)()   # an XColor; black, unused by an empty mask
        cursor = x11.XCreatePixmapCursor(self.connection, empty, empty, ctypes.byref(colour),
                                         ctypes.byref(colour), 0, 0)
        x11.XDefineCursor(self.connection, self.root, cursor)
        self.image = x11.XCreateImage(self.connection, visual, 24, Z_PIXMAP, 0, None,
                                      width, height, 32, 0)

    def show(self, bgrx):
        """Puts an HxWx4 B G R X array at the top-left corner and waits until the server has it.
        Xlib sends a large image as several requests, between which the server may serve a
        capture; the picture goes to a pixmap first and onto the screen in one copy."""
        self.image.contents.data = bgrx.ctypes.data
        self.x11.XPutImage(self.connection, self.pixmap, self.gc, self.image, 0, 0, 0, 0,
                           self.width, self.height)
        self.x11.XCopyArea(self.connection, self.pixmap, self.root, self.gc, 0, 0,
                           self.width, self.height, 0, 0)
        self.x11.XSync(self.connection, 0)
        self.image.contents.data = None


def play(display, name, fps):
    content = quality_content.make(name, fps)
    window = RootWindow(display, quality_content.WIDTH, quality_content.HEIGHT)
    shown, late = 0, 0

    def report(*_):
        sys.stdout.write(f"{shown} {late}\n")
        sys.stdout.flush()
        sys.exit(0)

    signal.signal(signal.SIGTERM, report)
    start = time.monotonic()
    frame, number = 0, None
    while True:
        if int((time.monotonic() - start) * fps) > frame:
            late += 1
        wanted = content.number_at(frame)
        if wanted != number:
            window.show(content.picture(wanted))
            number = wanted
            if not shown:
                sys.stdout.write("shown\n")
                sys.stdout.flush()
            shown += 1
        frame += 1
        delay = start + frame / fps - time.monotonic()
        if delay > 0:
            time.sleep(delay)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("display")
    parser.add_argument("content", choices=quality_content.CONTENTS)
    parser.add_argument("--fps", type=int, default=60)
    args = parser.parse_args()
    play(args.display, args.content, args.fps)


if __name__ == "__main__":
    main()
