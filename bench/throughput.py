"""One throughput run: a capture writing into its pipe, a reader draining it, and what the
run cost over a measuring window that starts after a warm-up.

    figures = measure(lambda: VxCapture(...), x_server_pid, x_idle_rate, seconds=10)

Frames per second count the access units that reached the reader inside the window; CPU is
the capturing process's user plus system time, and separately the X server's time beyond its
rate with the same content and no capture (x_idle_rate, from idle_rate()).
"""
import time
from dataclasses import dataclass

from captures import cpu_seconds
from stream_reader import StreamReader, access_units


@dataclass
class Figures:
    fps: float
    cpu: float          # CPU seconds per second, the capturing process
    x_extra: float      # CPU seconds per second the X server spent beyond its idle rate
    rss_mb: float       # peak resident set (VmHWM)
    kbps: float         # bits that reached the reader, per second / 1000
    key_frames: int     # key frames inside the window
    content: float      # updates per second the painter made inside the window

    @property
    def total_cpu(self):
        return self.cpu + self.x_extra

    @property
    def ms_per_frame(self):
        """CPU (process and X server's extra) per frame delivered, in milliseconds."""
        return self.total_cpu * 1000 / self.fps if self.fps else float("nan")

    def line(self):
        return (f"{self.fps:5.1f} fps (content {self.content:4.1f}), CPU {self.cpu:.3f} + X {self.x_extra:.3f} s/s, "
                f"{self.ms_per_frame:5.2f} ms/frame, peak RSS {self.rss_mb:.0f} MB, "
                f"{self.kbps / 1000:.1f} Mbit/s, {self.key_frames} key frames")


def idle_rate(x_server_pid, seconds=3.0):
    """CPU seconds per second of the X server with whatever is painting now and no capture."""
    before, start = cpu_seconds(x_server_pid), time.monotonic()
    time.sleep(seconds)
    return (cpu_seconds(x_server_pid) - before) / (time.monotonic() - start)


def _window(capture, x_server_pid, seconds, warmup):
    """After warmup, a window of `seconds` on a running capture: its start and end, the CPU
    seconds per second of the capture and of the X server, and the capture's peak RSS; then
    stops the capture."""
    time.sleep(warmup)
    start = time.monotonic()
    cpu0, x0 = cpu_seconds(capture.pid), cpu_seconds(x_server_pid)
    time.sleep(seconds)
    cpu1, x1 = cpu_seconds(capture.pid), cpu_seconds(x_server_pid)
    end = time.monotonic()
    rss = capture.peak_rss_mb()
    capture.stop()
    elapsed = end - start
    return start, end, (cpu1 - cpu0) / elapsed, (x1 - x0) / elapsed, rss


def measure(make_capture, x_server_pid, x_idle, seconds, content_rate=None, warmup=1.5):
    """content_rate(start, end): how often the screen changed in between (None: not known)."""
    with make_capture() as capture:
        reader = StreamReader.fifo(capture.fifo)
        try:
            if not reader.wait_for_bytes(1, timeout=15):
                errors = capture.errors() if hasattr(capture, "errors") else ""
                raise RuntimeError(f"{capture.name}: nothing came through the pipe {errors}")
            start, end, cpu, x_cpu, rss = _window(capture, x_server_pid, seconds, warmup)
        finally:
            reader.stop()
    elapsed = end - start
    data = reader.data()
    in_window = [u for u in access_units(data) if start < reader.arrival(u.end - 1) <= end]
    return Figures(
        fps=len(in_window) / elapsed,
        cpu=cpu,
        x_extra=x_cpu - x_idle,
        rss_mb=rss,
        kbps=reader.bytes_between(start, end) * 8 / elapsed / 1000,
        key_frames=sum(1 for u in in_window if u.key),
        content=content_rate(start, end) if content_rate else float("nan"))


def measure_unread(make_capture, x_server_pid, x_idle, seconds, content_rate=None, warmup=1.5):
    """The same figures for a capture whose pipe nobody opens: what it costs to wait for a reader."""
    with make_capture() as capture:
        start, end, cpu, x_cpu, rss = _window(capture, x_server_pid, seconds, warmup)
    return Figures(fps=0.0, cpu=cpu, x_extra=x_cpu - x_idle, rss_mb=rss, kbps=0.0, key_frames=0,
                   content=content_rate(start, end) if content_rate else float("nan"))
