"""The two screen captures the pipeline benchmark compares, each writing H.264 into a named pipe
of its own, and what /proc tells about a running process.

    with VxCapture(binary, env, 1920, 1080) as capture:   # build/vx-capture video
        reader = StreamReader.fifo(capture.fifo)
        ...
    FfmpegCapture(env, (2560, 1440), 1920, 1080)          # ffmpeg x11grab -> libx264

FFmpeg gets the product's encoder settings (platform/linux/x264/x264_settings.cpp): preset
ultrafast with zero-latency tuning (sliced threads), 2 threads, no B-frames, High profile
level 4.2 with the 8x8 transform, average bit rate with a VBV buffer of half a second, a key
frame at least every 2 s; bilinear scaling; every packet flushed to the pipe at once. The
rate is kept by x264's own rate control there, by the product's (x264_rate_control.h) in ours.
"""
import os
import shutil
import signal
import subprocess
import tempfile
import threading

CLOCK_TICKS = os.sysconf("SC_CLK_TCK")
PRESET = "ultrafast"
THREADS = 2


def cpu_seconds(pid):
    """User plus system time of a process and all its threads so far."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS


def peak_rss_mb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024.0
    return float("nan")


class _Capture:
    name = ""

    def __init__(self):
        self.folder = tempfile.mkdtemp(prefix="vx-bench-")
        self.fifo = os.path.join(self.folder, "video.fifo")
        os.mkfifo(self.fifo)
        self.process = None

    @property
    def pid(self):
        return self.process.pid

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()
        return False

    def peak_rss_mb(self):
        return peak_rss_mb(self.pid)

    def stop(self):
        if self.process is not None and self.process.poll() is None:
            self._end()
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        shutil.rmtree(self.folder, ignore_errors=True)


class VxCapture(_Capture):
    """`vx-capture video` with its standard input held open until stop()."""
    name = "vx-capture"

    def __init__(self, binary, env, width, height, fps=60, kbps=18000):
        super().__init__()
        self.args = [binary, "video", "--out", self.fifo, "--width", str(width),
                     "--height", str(height), "--fps", str(fps), "--bitrate", str(kbps)]
        self.env = env

    def start(self, timeout=20.0):
        self.process = subprocess.Popen(self.args, env=self.env, stdin=subprocess.PIPE,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        lines = []
        waiter = threading.Thread(target=lambda: lines.append(self.process.stderr.readline()),
                                  daemon=True)
        waiter.start()
        waiter.join(timeout)
        if not lines or lines[0] != b"started\n":
            self.stop()
            raise RuntimeError(f"vx-capture did not start: {lines[0] if lines else b''!r}")

    def _end(self):
        self.process.stdin.close()  # the end of standard input ends it with status 0


class FfmpegCapture(_Capture):
    """ffmpeg grabbing the whole screen of size screen=(w, h) with x11grab into libx264."""
    name = "ffmpeg"

    def __init__(self, env, screen, width, height, fps=60, kbps=18000):
        super().__init__()
        self.env = env
        self.args = [
            "ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error",
            "-f", "x11grab", "-framerate", str(fps), "-video_size", f"{screen[0]}x{screen[1]}",
            "-draw_mouse", "1", "-i", env["DISPLAY"],
            "-vf", f"scale={width}:{height}:flags=bilinear", "-pix_fmt", "yuv420p",
            "-c:v", "libx264", "-preset", PRESET, "-tune", "zerolatency", "-bf", "0",
            "-threads", str(THREADS), "-profile:v", "high", "-level", "4.2",
            "-x264-params", "8x8dct=1",
            "-b:v", f"{kbps}k", "-maxrate", f"{kbps}k", "-bufsize", f"{kbps // 2}k",
            "-g", str(2 * fps),
            "-fps_mode", "passthrough", "-flush_packets", "1", "-f", "h264", "-y", self.fifo]

    def start(self):
        self.process = subprocess.Popen(self.args, env=self.env, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)

    def errors(self):
        return self.process.stderr.read().decode(errors="replace").strip() if self.process else ""

    def _end(self):
        self.process.send_signal(signal.SIGINT)
