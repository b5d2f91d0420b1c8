"""One run of the quality benchmark: a content played on a virtual display, one capture of it
for a while, the stream decoded with FFmpeg and every decoded picture compared with the source
picture its stamp names.

    run = capture_run(make_capture, display, "scroll", fps=60, seconds=8)
    scores = score(run, content, cache)      # Scores: PSNR-Y of each frame, bit rate, CPU

PSNR-Y is over the whole picture (stamp included) against the source's luma in BT.709 video
range, the matrix both captures are told to use. The bit rate counts the bytes that arrived
after the first second (the first key frame of a stream is not part of its steady rate);
CPU is user plus system time of the capturing process over the same window, per second.
"""
import math
import os
import subprocess
import sys
import time
from dataclasses import dataclass, field

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from captures import cpu_seconds  # noqa: E402
import quality_content  # noqa: E402
from quality_content import HEIGHT, WIDTH, read_stamp, reference_luma  # noqa: E402
from stream_reader import StreamReader, access_units  # noqa: E402

SETTLE = 1.0   # seconds of a stream before its rate is counted
PEAK = 255.0


@dataclass
class Run:
    data: bytes
    times: list          # arrival of each access unit, seconds from the first
    keys: list           # whether each access unit is a key frame
    seconds: float       # measuring window
    bits_per_second: float
    cpu: float           # CPU seconds per second of capture
    player: str          # what the player reported: pictures shown, frames skipped


@dataclass
class Scores:
    psnr: list = field(default_factory=list)     # per decoded frame; None where no stamp read
    times: list = field(default_factory=list)    # seconds from the first access unit
    numbers: list = field(default_factory=list)  # picture number read from each stamp
    keys: list = field(default_factory=list)     # whether each frame is a key frame
    kbps: float = 0.0
    cpu: float = 0.0
    frames: int = 0
    unmatched: int = 0

    def valid(self):
        return [p for p in self.psnr if p is not None]

    def key_frame_drop(self, window=1.0):
        """The largest fall, over the periodic key frames, from the mean PSNR of the second
        before a key frame to the worst frame in the second from it (dB; None if no key frame
        after the first has a second before it)."""
        worst = None
        for index, key in enumerate(self.keys):
            if not key or index == 0:
                continue
            start = self.times[index]
            before = [p for t, p in zip(self.times, self.psnr) if p is not None and start - window <= t < start]
            after = [p for t, p in zip(self.times, self.psnr) if p is not None and start <= t < start + window]
            if before and after:
                drop = float(np.mean(before)) - min(after)
                worst = drop if worst is None else max(worst, drop)
        return worst

    def summary(self):
        values = np.array(self.valid())
        if not len(values):
            return dict(kbps=self.kbps, cpu=self.cpu, mean=math.nan, p5=math.nan, min=math.nan,
                        frames=self.frames, unmatched=self.unmatched)
        return dict(kbps=self.kbps, cpu=self.cpu, mean=float(values.mean()),
                    p5=float(np.percentile(values, 5)), min=float(values.min()),
                    frames=self.frames, unmatched=self.unmatched)


class Player:
    """quality_player.py on a display; started before a capture so the screen is never empty."""

    def __init__(self, display, content, fps):
        self.process = subprocess.Popen(
            [sys.executable, os.path.join(HERE, "quality_player.py"), display, content,
             "--fps", str(fps)], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
        line = self.process.stdout.readline()
        if line != b"shown\n":
            self.stop()
            raise RuntimeError(f"the player did not start: {line!r}")

    def stop(self):
        self.process.terminate()
        try:
            out, _ = self.process.communicate(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            out, _ = self.process.communicate()
        shown, _, late = out.decode().strip().partition(" ")
        return f"{shown} pictures shown, {late} frames late"


def capture_run(make_capture, display, content, fps, seconds):
    """Plays `content` and captures it with make_capture() for `seconds` after its first byte."""
    player = Player(display, content, fps)
    try:
        with make_capture() as capture:
            reader = StreamReader.fifo(capture.fifo)
            if not reader.wait_for_bytes(1, timeout=20):
                raise RuntimeError(f"{capture.name} wrote nothing")
            first = reader.arrival(0)
            cpu_start = cpu_seconds(capture.pid)
            time.sleep(seconds)
            end = time.monotonic()
            cpu = (cpu_seconds(capture.pid) - cpu_start) / (end - first)
            counted = reader.bytes_between(first + SETTLE, end)
            capture.stop()
            reader.stop()
    finally:
        played = player.stop()
    data = reader.data()
    units = access_units(data, complete_tail=True)
    times = [reader.arrival(unit.end - 1) - first for unit in units]
    keys = [unit.key for unit in units]
    return Run(data, times, keys, end - first, counted * 8 / (end - first - SETTLE), cpu, played)


def decode(data):
    """The luma planes of every picture in an H.264 stream, in order, as FFmpeg decodes them."""
    process = subprocess.Popen(
        ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-f", "h264", "-i", "-",
         "-fps_mode", "passthrough", "-f", "rawvideo", "-pix_fmt", "yuv420p", "-"],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    feeder = _Feeder(process.stdin, data)
    size = WIDTH * HEIGHT * 3 // 2
    try:
        while True:
            frame = process.stdout.read(size)
            if len(frame) < size:
                break
            yield np.frombuffer(frame, np.uint8, WIDTH * HEIGHT).reshape(HEIGHT, WIDTH)
    finally:
        feeder.join()
        process.stdout.close()
        process.wait()


class _Feeder:
    def __init__(self, pipe, data):
        import threading
        self.thread = threading.Thread(target=self._write, args=(pipe, data), daemon=True)
        self.thread.start()

    @staticmethod
    def _write(pipe, data):
        try:
            pipe.write(data)
        except BrokenPipeError:
            pass
        finally:
            pipe.close()

    def join(self):
        self.thread.join(10)


def score(run, content, cache):
    """Scores of a run; cache maps picture numbers to their reference luma (shared by runs)."""
    scores = Scores(kbps=run.bits_per_second / 1000, cpu=run.cpu)
    for index, luma in enumerate(decode(run.data)):
        number = read_stamp(luma)
        scores.frames += 1
        scores.times.append(run.times[index] if index < len(run.times) else math.nan)
        scores.numbers.append(number)
        scores.keys.append(run.keys[index] if index < len(run.keys) else False)
        if number is None:
            scores.unmatched += 1
            scores.psnr.append(None)
            continue
        reference = cache.get(number)
        if reference is None:
            reference = cache[number] = reference_luma(content.picture(number))
        error = float(np.mean(np.square(luma - reference)))
        scores.psnr.append(100.0 if error == 0 else 10 * math.log10(PEAK * PEAK / error))
    return scores


def check_display(display, env, name, fps, seconds=2.0):
    """Grabs the played content without coding it (x11grab to raw pictures) and counts the
    grabbed pictures that differ in any pixel from the source picture their stamp names:
    (grabbed, differing). Anything but zero differing means the comparison cannot be trusted."""
    content = quality_content.make(name, fps)
    player = Player(display, name, fps)
    try:
        grab = subprocess.run(
            ["ffmpeg", "-nostdin", "-loglevel", "error", "-f", "x11grab", "-framerate", str(fps),
             "-video_size", f"{WIDTH}x{HEIGHT}", "-i", display, "-t", str(seconds),
             "-f", "rawvideo", "-pix_fmt", "bgr0", "-"], env=env, capture_output=True, check=True)
    finally:
        player.stop()
    size = WIDTH * HEIGHT * 4
    grabbed, differing = len(grab.stdout) // size, 0
    for index in range(grabbed):
        picture = np.frombuffer(grab.stdout, np.uint8, size, index * size).reshape(HEIGHT, WIDTH, 4)
        number = read_stamp(reference_luma(picture))
        if number is None or not np.array_equal(picture[..., :3], content.picture(number)[..., :3]):
            differing += 1
    return grabbed, differing
