"""Runs the real `vx-capture video` against a display and looks at what came through its pipe.

    with VideoCapture(display.env(), "--width", "1280") as capture:
        capture.wait_started()
        data = capture.read(seconds=2)
    units = access_units(data)
    frames = decode_rgb(join_from_key_frame(units), 1280, 720)

The stream is plain Annex-B with 4-byte start codes; access_units() splits it into access units
and leaves out the last one, which a reader that stopped reading may have cut short.
"""
import json
import os
import select
import shutil
import subprocess
import tempfile
import threading
import time

BUILD_DIR = os.environ.get("VX_BUILD_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "build"))
BINARY = os.path.join(BUILD_DIR, "vx-capture")
START_CODE = b"\x00\x00\x00\x01"
SPS, PPS, IDR, NON_IDR = 7, 8, 5, 1


class VideoCapture:
    """A running `vx-capture video` writing into a FIFO of its own; standard input stays open
    until finish()."""

    def __init__(self, env, *options):
        self.folder = tempfile.mkdtemp(prefix="vx-video-")
        self.fifo = os.path.join(self.folder, "video.fifo")
        os.mkfifo(self.fifo)
        self.process = subprocess.Popen([BINARY, "video", "--out", self.fifo, *options], env=env,
                                        stdin=subprocess.PIPE, stderr=subprocess.PIPE)
        self.reader = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close_reader()
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        for stream in (self.process.stdin, self.process.stderr):
            try:
                stream.close()
            except OSError:
                pass
        shutil.rmtree(self.folder, ignore_errors=True)
        return False

    def wait_started(self, timeout=20):
        """The first line on standard error; fails the caller unless it is "started"."""
        lines = []
        reader = threading.Thread(target=lambda: lines.append(self.process.stderr.readline()), daemon=True)
        reader.start()
        reader.join(timeout)
        line = lines[0] if lines else b""
        if line != b"started\n":
            raise AssertionError(f"expected b'started\\n' on standard error, got {line!r}")

    def open_reader(self):
        fd = os.open(self.fifo, os.O_RDONLY | os.O_NONBLOCK)
        os.set_blocking(fd, True)
        self.reader = fd

    def close_reader(self):
        if self.reader is not None:
            os.close(self.reader)
            self.reader = None

    def read(self, seconds, enough=None):
        """Reads for up to seconds (opening a reader first if none is open), or until enough(data)."""
        if self.reader is None:
            self.open_reader()
        data = bytearray()
        deadline = time.monotonic() + seconds
        while not (enough and enough(data)):
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.reader], [], [], left)[0]:
                break
            chunk = os.read(self.reader, 1 << 20)
            if not chunk:
                break
            data += chunk
        return bytes(data)

    def finish(self, timeout=10):
        """Closes standard input (or just waits when the process ends by itself); returns the
        exit status and the rest of standard error."""
        try:
            self.process.stdin.close()
        except OSError:
            pass
        rest = self.process.stderr.read()
        self.process.wait(timeout)
        return self.process.returncode, rest


def run_to_end(env, *options, timeout=20):
    """Runs `vx-capture video` with standard input open until it ends by itself."""
    with VideoCapture(env, *options) as capture:
        try:
            capture.process.wait(timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError("vx-capture did not end by itself")
        return capture.process.returncode, capture.process.stderr.read()


# -- the byte stream -------------------------------------------------------------------------------
def nal_units(stream):
    if not stream:
        return []
    if not stream.startswith(START_CODE):
        raise AssertionError(f"the stream does not begin with a start code: {stream[:16]!r}")
    return [unit for unit in stream.split(START_CODE)[1:]]


def nal_type(unit):
    return unit[0] & 0x1F if unit else -1


def access_units(stream):
    """Complete access units, each a list of NAL units. A unit begins with an SPS or with a
    slice whose first macroblock is 0 (unless the unit so far holds no slice)."""
    units, current, has_slice = [], [], False
    for nal in nal_units(stream):
        kind = nal_type(nal)
        first_slice = kind in (IDR, NON_IDR) and len(nal) > 1 and nal[1] & 0x80
        if current and (kind == SPS or (first_slice and has_slice)):
            units.append(current)
            current, has_slice = [], False
        current.append(nal)
        has_slice = has_slice or kind in (IDR, NON_IDR)
    return units  # the last one may be cut short: left out


def is_key_frame(unit):
    return [nal_type(n) for n in unit[:2]] == [SPS, PPS] and any(nal_type(n) == IDR for n in unit)


def join(units):
    return b"".join(START_CODE + nal for unit in units for nal in unit)


def join_from_key_frame(units):
    """The stream from its first key frame on."""
    for index, unit in enumerate(units):
        if is_key_frame(unit):
            return join(units[index:])
    return b""


# -- decoding --------------------------------------------------------------------------------------
def _run(args, data):
    return subprocess.run(args, input=data, capture_output=True, timeout=120)


def probe_frames(stream):
    """(stream facts, [picture types]) as ffprobe decodes them."""
    result = _run(["ffprobe", "-v", "error", "-f", "h264", "-i", "pipe:0", "-select_streams", "v:0",
                   "-show_entries", "stream=codec_name,profile,width,height,has_b_frames",
                   "-show_entries", "frame=pict_type", "-of", "json"], stream)
    facts = json.loads(result.stdout or b"{}")
    streams = facts.get("streams") or [{}]
    return streams[0], [frame.get("pict_type") for frame in facts.get("frames", [])]


def decode_errors(stream):
    """What the decoder complains about; empty when every frame decodes cleanly."""
    result = _run(["ffmpeg", "-v", "error", "-f", "h264", "-i", "pipe:0", "-f", "null", "-"], stream)
    return result.stderr.decode(errors="replace").strip()


def decode_rgb(stream, width, height):
    """Every decoded frame as packed RGB bytes."""
    result = _run(["ffmpeg", "-v", "error", "-f", "h264", "-i", "pipe:0", "-f", "rawvideo",
                   "-pix_fmt", "rgb24", "-"], stream)
    size = width * height * 3
    return [result.stdout[i:i + size] for i in range(0, len(result.stdout) - size + 1, size)]


def pixel(frame, width, x, y):
    offset = (y * width + x) * 3
    return tuple(frame[offset:offset + 3])


def near(colour, expected, tolerance=24):
    return all(abs(a - b) <= tolerance for a, b in zip(colour, expected))
