"""A private virtual X display (Xvfb) for end-to-end tests, with monitors and moving content.

    with VirtualDisplay(1920, 1080) as vd:
        vd.add_monitor("right", 1280, 960, 1920, 0)   # needs a screen wide enough
        vd.start_motion()                              # a bar moving across the screen
        subprocess.run([...], env=vd.env())

The server runs with -noreset: without it Xvfb resets (and forgets monitors defined with
`xrandr --setmonitor`) each time its last client disconnects. Everything started here stops on
exit. Run as a script (`python3 virtual_display.py paint DISPLAY MODE`) it is the painter that
start_motion() launches: a small X client drawing on the root window through libX11 (ctypes).
"""
import ctypes
import os
import select
import shutil
import signal
import subprocess
import sys
import time
import unittest

MOTION_MODES = ("bar", "scroll")


class VirtualDisplay:
    def __init__(self, width=1920, height=1080, depth=24, extensions=()):
        self.width = width
        self.height = height
        self.depth = depth
        self.extensions = list(extensions)
        self.display = None
        self.server = None
        self._helpers = []

    # -- lifetime -------------------------------------------------------------------------------
    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()
        return False

    def start(self, timeout=10.0):
        if shutil.which("Xvfb") is None:
            raise RuntimeError("Xvfb is not installed (Debian package xvfb)")
        read_end, write_end = os.pipe()
        args = ["Xvfb", "-displayfd", str(write_end),
                "-screen", "0", f"{self.width}x{self.height}x{self.depth}",
                "-nolisten", "tcp", "-noreset"]
        for extension in self.extensions:
            args += ["+extension", extension]
        self.server = subprocess.Popen(args, pass_fds=(write_end,), stdin=subprocess.DEVNULL,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                       start_new_session=True)
        os.close(write_end)
        try:
            number = self._read_display_number(read_end, timeout)
        finally:
            os.close(read_end)
        self.display = f":{number}"

    def _read_display_number(self, fd, timeout):
        deadline = time.monotonic() + timeout
        text = b""
        while not text.endswith(b"\n"):
            remaining = deadline - time.monotonic()
            if remaining <= 0 or not select.select([fd], [], [], remaining)[0]:
                self.stop()
                raise RuntimeError("Xvfb did not report a display number")
            chunk = os.read(fd, 64)
            if not chunk:
                self.stop()
                raise RuntimeError("Xvfb ended before it was ready")
            text += chunk
        return int(text.strip())

    def stop(self):
        for helper in reversed(self._helpers):
            _end(helper)
        self._helpers.clear()
        if self.server is not None:
            _end(self.server)
            self.server = None

    def kill_server(self):
        """Kills the X server abruptly (SIGKILL), as when it crashes; helpers are left to stop()."""
        if self.server is not None:
            self.server.kill()
            self.server.wait()
            self.server = None

    def env(self, **extra):
        # Without the Wayland session's variables, so that a run on a Wayland desktop
        # still captures this X display.
        environment = {key: value for key, value in os.environ.items()
                       if key not in ("WAYLAND_DISPLAY", "XDG_SESSION_TYPE")}
        environment["DISPLAY"] = self.display
        environment.update(extra)
        return environment

    # -- monitors ---------------------------------------------------------------------------------
    def add_monitor(self, name, width, height, x=0, y=0):
        """Defines a RandR monitor; the server lists user-defined monitors before its own."""
        geometry = f"{width}/{max(1, width // 4)}x{height}/{max(1, height // 4)}+{x}+{y}"
        self.run(["xrandr", "--setmonitor", name, geometry, "none"])

    def monitors(self):
        """[(number, name, width, height, x, y)] as `xrandr --listmonitors` prints them."""
        listing = self.run(["xrandr", "--listmonitors"]).stdout.splitlines()[1:]
        result = []
        for line in listing:
            number, rest = line.strip().split(":", 1)
            fields = rest.split()
            size, x, y = fields[1].split("+")
            width, height = (int(part.split("/")[0]) for part in size.split("x"))
            result.append((int(number), fields[0].lstrip("+*"), width, height, int(x), int(y)))
        return result

    # -- content ----------------------------------------------------------------------------------
    def fill(self, colour):
        """Paints the whole root window one colour (an X colour name or "#rrggbb")."""
        self.run(["xsetroot", "-solid", colour])

    def fill_rect(self, rgb, x, y, width, height):
        """Paints a rectangle of the root window (rgb as 0xRRGGBB); it stays until painted over."""
        fill_rect(self.display, rgb, x, y, width, height)

    def move_pointer(self, x, y):
        self.run(["xdotool", "mousemove", str(x), str(y)])

    def start_motion(self, mode="bar", rate=120):
        """Starts the painter: "bar" moves a bright bar across a dark screen, "scroll" shifts
        stripes over the whole screen (every pixel row changes every tick). Returns the process."""
        if mode not in MOTION_MODES:
            raise ValueError(f"unknown motion mode {mode!r}")
        painter = subprocess.Popen([sys.executable, os.path.abspath(__file__), "paint",
                                    self.display, mode, str(rate)],
                                   stdin=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                   start_new_session=True)
        self._helpers.append(painter)
        return painter

    def stop_motion(self):
        for helper in list(self._helpers):
            if helper.args[2:3] == ["paint"]:
                _end(helper)
                self._helpers.remove(helper)

    def run(self, args, check=True):
        return subprocess.run(args, env=self.env(), capture_output=True, text=True, check=check,
                              timeout=30)


def _end(process, grace=3.0):
    if process.poll() is not None:
        return
    process.send_signal(signal.SIGTERM)
    try:
        process.wait(grace)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


# -- tests that need programs ----------------------------------------------------------------------
def require_tools(*tools):
    """A decorator for a test class whose tests need these programs (Xvfb, ...). When one is
    missing the tests fail, so that a machine without them cannot pass for a green run;
    only with VX_ALLOW_SKIP=1 in the environment are they skipped instead."""
    missing = [tool for tool in tools if shutil.which(tool) is None]
    if not missing:
        return lambda cls: cls
    reason = "missing: " + " ".join(missing)
    if os.environ.get("VX_ALLOW_SKIP") == "1":
        return unittest.skip(reason)

    def fail_each_test(cls):
        def refuse(klass):
            raise AssertionError(f"{reason} (install them, or set VX_ALLOW_SKIP=1 to skip)")
        cls.setUpClass = classmethod(refuse)
        return cls
    return fail_each_test


# -- the painter ---------------------------------------------------------------------------------
class _Canvas:
    """The root window of a display, drawn on through libX11 (ctypes)."""

    def __init__(self, display):
        x11 = ctypes.CDLL("libX11.so.6")
        x11.XOpenDisplay.restype = ctypes.c_void_p
        x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
        x11.XDefaultRootWindow.restype = ctypes.c_ulong
        x11.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
        x11.XDefaultScreen.argtypes = [ctypes.c_void_p]
        x11.XDisplayWidth.argtypes = [ctypes.c_void_p, ctypes.c_int]
        x11.XDisplayHeight.argtypes = [ctypes.c_void_p, ctypes.c_int]
        x11.XCreateGC.restype = ctypes.c_void_p
        x11.XCreateGC.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_ulong, ctypes.c_void_p]
        x11.XSetForeground.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_ulong]
        x11.XFillRectangle.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_void_p,
                                       ctypes.c_int, ctypes.c_int, ctypes.c_uint, ctypes.c_uint]
        x11.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
        x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
        self.x11 = x11
        self.connection = x11.XOpenDisplay(display.encode())
        if not self.connection:
            raise RuntimeError(f"cannot open X display {display}")
        self.root = x11.XDefaultRootWindow(self.connection)
        screen = x11.XDefaultScreen(self.connection)
        self.width = x11.XDisplayWidth(self.connection, screen)
        self.height = x11.XDisplayHeight(self.connection, screen)
        self.gc = x11.XCreateGC(self.connection, self.root, 0, None)

    def rect(self, rgb, x, y, w, h):
        self.x11.XSetForeground(self.connection, self.gc, rgb)
        self.x11.XFillRectangle(self.connection, self.root, self.gc, x, y, w, h)

    def sync(self):
        self.x11.XSync(self.connection, 0)

    def close(self):
        self.x11.XCloseDisplay(self.connection)


def fill_rect(display, rgb, x, y, width, height):
    """Paints a rectangle of the root window (rgb as 0xRRGGBB); it stays after this returns."""
    canvas = _Canvas(display)
    canvas.rect(rgb, x, y, width, height)
    canvas.sync()
    canvas.close()


def _paint(display, mode, rate):
    canvas = _Canvas(display)
    width, height = canvas.width, canvas.height
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    canvas.rect(0x203040, 0, 0, width, height)
    bar, step, stripe = 48, 12, 40
    tick = 0
    next_time = time.monotonic()
    while True:
        if mode == "bar":
            x = (tick * step) % (width - bar)
            canvas.rect(0x203040, 0, 0, width, height // 3)
            canvas.rect(0xf0c020, x, 0, bar, height // 3)
            canvas.rect(0x203040 + (tick % 64), 0, height // 3, width, 8)   # changes every tick
        else:
            offset = (tick * step) % (2 * stripe)
            for y in range(-2 * stripe + offset, height, 2 * stripe):
                canvas.rect(0xe0e0e0, 0, y, width, stripe)
                canvas.rect(0x102050 + (tick % 32) * 0x010101, 0, y + stripe, width, stripe)
        canvas.sync()
        tick += 1
        next_time += 1.0 / rate
        delay = next_time - time.monotonic()
        if delay > 0:
            time.sleep(delay)
        else:
            next_time = time.monotonic()


if __name__ == "__main__":
    if len(sys.argv) >= 4 and sys.argv[1] == "paint":
        _paint(sys.argv[2], sys.argv[3], float(sys.argv[4]) if len(sys.argv) > 4 else 120.0)
    else:
        sys.exit("usage: virtual_display.py paint DISPLAY bar|scroll [RATE]")
