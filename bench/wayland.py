"""The Wayland path (desktop portal + PipeWire) beside the X11 path, on the same kind of content.

    python3 bench/wayland.py [--build-dir build] [--seconds 8] [--flips 40] [--starts 5]
    bench/pipeline --only wayland

On a private headless sway (tests/support/wayland_desktop.py; software rendering, no GPU) and a
private Xvfb, both 1920x1080 captured into 1920x1080 at 60 fps, 18 Mbit/s:
1. Handshake: process start to "started", first with the chooser (a fresh state folder), then
   with the restore token of that grant.
2. CPU per frame while a full screen of text scrolls (foot on Wayland, the benchmark's scroll
   painter on X11): the capturing process's CPU seconds per frame that reached the pipe, and
   the extra CPU of the display side (sway, the portal backend, PipeWire, WirePlumber; the X
   server) beyond its rate with the same content and no capture.
3. Glass to pipe: a full-screen colour flip to the last byte of the first access unit showing
   it. On Wayland the flip is stamped when the terminal is told to change its background (the
   terminal's redraw and the compositor's next repaint are in the figure); on X11 when the X
   server has drawn it (XSync).
4. GStreamer beside it, where gst-launch-1.0 with pipewiresrc, videoconvert and x264enc is
   installed: the same portal grant's PipeWire node (held by a running vx-capture) read by a
   second consumer and encoded with the same settings (NV12, ultrafast, zero latency, 2 threads,
   18 Mbit/s) into a pipe; CPU per frame and glass to pipe as above. vx-capture keeps consuming
   meanwhile, so the machine is busier than in 2 and 3.
"""
import argparse
import os
import random
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path[:0] = [HERE, os.path.join(ROOT, "tests", "support")]

from captures import VxCapture, cpu_seconds  # noqa: E402
from latency import COLOURS, decoded_colours, glass_to_pipe, summary  # noqa: E402
from scroll_painter import Painter  # noqa: E402
from stream_reader import StreamReader, access_units  # noqa: E402
from throughput import idle_rate, measure  # noqa: E402
from virtual_display import VirtualDisplay  # noqa: E402
from wayland_desktop import WaylandDesktop  # noqa: E402

OUT, FPS, KBPS = (1920, 1080), 60, 18000
SCROLL = "i=0; while :; do i=$((i+1)); echo \"line $i: the quick brown fox jumps over the lazy dog $i $i $i\"; sleep 0.016; done"
DESKTOP_PARTS = ("sway", "xdg-desktop-portal-wlr", "pipewire", "wireplumber", "xdg-desktop-portal")


class GstCapture:
    """gst-launch-1.0 reading a PipeWire node and writing H.264 into a FIFO of its own."""
    name = "gstreamer"

    def __init__(self, env, node):
        self.folder = tempfile.mkdtemp(prefix="vx-bench-gst-")
        self.fifo = os.path.join(self.folder, "video.fifo")
        os.mkfifo(self.fifo)
        self.argv = ["gst-launch-1.0", "-q", "pipewiresrc", f"path={node}", "!", "videoconvert", "!",
                     "video/x-raw,format=NV12", "!", "x264enc", "tune=zerolatency",
                     "speed-preset=ultrafast", f"bitrate={KBPS}", "threads=2", "!",
                     "video/x-h264,stream-format=byte-stream", "!", "filesink", f"location={self.fifo}",
                     "buffer-mode=2", "sync=false"]
        self.env = env
        self.process = None

    @property
    def pid(self):
        return self.process.pid

    def __enter__(self):
        self.process = subprocess.Popen(self.argv, env=self.env, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return self

    def __exit__(self, *exc):
        self.stop()
        return False

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        shutil.rmtree(self.folder, ignore_errors=True)


def gstreamer_missing():
    if shutil.which("gst-launch-1.0") is None:
        return True
    return any(subprocess.run(["gst-inspect-1.0", element], capture_output=True).returncode != 0
               for element in ("pipewiresrc", "videoconvert", "x264enc"))


def portal_node(desktop):
    """The PipeWire node of the portal's screen cast now running."""
    listing = subprocess.run(["pw-cli", "-r", "pipewire-0", "ls", "Node"], env=desktop._env(),
                             capture_output=True, text=True).stdout
    nodes = re.findall(r"id (\d+), type PipeWire:Interface:Node[^\n]*\n((?:\s+\S+ = [^\n]*\n)*)", listing)
    found = [node for node, properties in nodes if '"xdg-desktop-portal-wlr"' in properties]
    if not found:
        raise RuntimeError("no screen-cast node of the portal")
    return found[-1]


def desktop_cpu(desktop):
    return sum(cpu_seconds(p.pid) for name, p in desktop.processes if name in DESKTOP_PARTS)


def handshakes(binary, desktop, starts):
    """Seconds from start to "started": with the chooser, then with the restore token."""
    chooser, restored = [], []
    for _ in range(starts):
        state = tempfile.mkdtemp(prefix="vx-bench-state-")
        for into in (chooser, restored):
            capture = VxCapture(binary, desktop.env(state), *OUT, FPS, KBPS)
            began = time.monotonic()
            with capture:
                into.append(time.monotonic() - began)
        subprocess.run(["rm", "-rf", state])
    return chooser, restored


def wayland_throughput(binary, desktop, seconds, gstreamer=False, warmup=1.5):
    """(frames a second at the pipe, CPU s/s of the capture, display side's extra CPU s/s). With
    gstreamer, the capture measured is GStreamer's, on the node of a running vx-capture."""
    before, start = desktop_cpu(desktop), time.monotonic()
    time.sleep(3)
    idle = (desktop_cpu(desktop) - before) / (time.monotonic() - start)
    with CaptureOnDesktop(binary, desktop, gstreamer) as capture:
        reader = StreamReader.fifo(capture.fifo)
        try:
            if not reader.wait_for_bytes(1, timeout=15):
                raise RuntimeError(f"{capture.name} on Wayland: nothing came through the pipe")
            time.sleep(warmup)
            start = time.monotonic()
            cpu0, desk0 = cpu_seconds(capture.pid), desktop_cpu(desktop)
            time.sleep(seconds)
            cpu1, desk1 = cpu_seconds(capture.pid), desktop_cpu(desktop)
            end = time.monotonic()
            capture.stop()
        finally:
            reader.stop()
    elapsed = end - start
    frames = sum(1 for u in access_units(reader.data()) if start < reader.arrival(u.end - 1) <= end)
    return frames / elapsed, (cpu1 - cpu0) / elapsed, (desk1 - desk0) / elapsed - idle


class CaptureOnDesktop:
    """vx-capture on the desktop; or, with gstreamer, GStreamer on the node of a vx-capture
    that holds the grant (its own pipe has no reader)."""

    def __init__(self, binary, desktop, gstreamer):
        self.holder = VxCapture(binary, desktop.env(tempfile.mkdtemp(prefix="vx-bench-state-")),
                                *OUT, FPS, KBPS)
        self.desktop, self.gstreamer = desktop, gstreamer

    def __enter__(self):
        self.holder.__enter__()
        if not self.gstreamer:
            return self.holder
        self.capture = GstCapture(self.desktop._env(), portal_node(self.desktop)).__enter__()
        return self.capture

    def __exit__(self, *exc):
        if self.gstreamer:
            self.capture.stop()
        self.holder.stop()
        return False


def wayland_glass_to_pipe(binary, desktop, flips, gstreamer=False, gap=(0.15, 0.25), settle=1.0):
    folder = tempfile.mkdtemp(prefix="vx-bench-flip-")
    commands = os.path.join(folder, "commands")
    os.mkfifo(commands)
    desktop.start_terminal(f"exec cat {commands}")
    writer = os.open(commands, os.O_WRONLY)

    def paint(colour):
        os.write(writer, b"\033[?25l\033]11;#%06x\007" % COLOURS[colour])

    chooser, stamps = random.Random(5), []
    try:
        paint(0)
        time.sleep(0.5)
        with CaptureOnDesktop(binary, desktop, gstreamer) as capture:
            reader = StreamReader.fifo(capture.fifo)
            try:
                reader.wait_for_bytes(1, timeout=15)
                time.sleep(settle)
                for i in range(flips):
                    colour = (i + 1) % 2
                    paint(colour)
                    stamps.append((time.monotonic(), colour))
                    time.sleep(chooser.uniform(*gap))
                time.sleep(0.3)
                capture.stop()
            finally:
                reader.stop()
    finally:
        os.close(writer)
        desktop.kill("foot")
        subprocess.run(["rm", "-rf", folder])
    data = reader.data()
    units = access_units(data)
    colours = decoded_colours(data)
    arrivals = [reader.arrival(u.end - 1) for u in units]
    latencies, missed = [], 0
    for i, (stamp, colour) in enumerate(stamps):
        limit = stamps[i + 1][0] if i + 1 < len(stamps) else float("inf")
        found = next((t for t, c in zip(arrivals, colours) if stamp < t < limit and c == colour), None)
        if found is None:
            missed += 1
        else:
            latencies.append(found - stamp)
    return latencies, missed


def x11_figures(binary, seconds, flips):
    with VirtualDisplay(*OUT) as display:
        with Painter(display.display, "scroll") as paint:
            x_idle = idle_rate(display.server.pid)
            figures = measure(lambda: VxCapture(binary, display.env(), *OUT, FPS, KBPS),
                              display.server.pid, x_idle, seconds, paint.rate_between)
        latencies, missed = glass_to_pipe(display.display,
                                          lambda: VxCapture(binary, display.env(), *OUT, FPS, KBPS), flips)
    return (figures.fps, figures.cpu, figures.x_extra), (latencies, missed)


def run(binary, seconds=8.0, flips=40, starts=5, out=print):
    """Measures both paths; returns the Markdown table of the figures."""
    rows = {}
    with WaylandDesktop(*OUT) as desktop:
        chooser, restored = handshakes(binary, desktop, starts)
        out(f"  wayland start to started: chooser median {statistics.median(chooser) * 1000:.0f} ms, "
            f"restored median {statistics.median(restored) * 1000:.0f} ms")
        paths = [("vx-capture", False)] + ([] if gstreamer_missing() else [("gstreamer", True)])
        for key, gstreamer in paths:
            desktop.start_terminal(SCROLL)
            rows[key] = [wayland_throughput(binary, desktop, seconds, gstreamer)]
            desktop.kill("foot")
            out(f"  wayland {key} scrolling: " +
                "%.1f fps at the pipe, %.3f CPU s/s, display side +%.3f CPU s/s" % rows[key][0])
            rows[key].append(wayland_glass_to_pipe(binary, desktop, flips, gstreamer))
            out(f"  wayland {key} glass to pipe: " + "%d found, %d missed, median %.1f ms, p95 %.1f ms"
                % (len(rows[key][1][0]), rows[key][1][1], *summary(rows[key][1][0])))
    x11, x11_latency = x11_figures(binary, seconds, flips)
    out("  x11 scrolling: %.1f fps at the pipe, %.3f CPU s/s, display side +%.3f CPU s/s" % x11)
    out("  x11 glass to pipe: %d found, %d missed, median %.1f ms, p95 %.1f ms"
        % (len(x11_latency[0]), x11_latency[1], *summary(x11_latency[0])))

    def row(name, figures, latency):
        fps, cpu, extra = figures
        per_frame = cpu / fps * 1000 if fps else float("nan")
        extra_per_frame = extra / fps * 1000 if fps else float("nan")
        median, p95 = summary(latency[0])
        return (f"| {name} | {fps:.1f} | {per_frame:.2f} | {extra_per_frame:.2f} | "
                f"{median:.1f} / {p95:.1f} ({latency[1]} missed) |")

    return "\n".join([
        "Video on Wayland beside X11 (1920x1080 into 1920x1080, 60 fps, 18 Mbit/s, full screen of "
        "scrolling text)",
        "",
        "| path | fps at the pipe | capture CPU ms/frame | display side extra CPU ms/frame | "
        "glass to pipe median / p95 ms |",
        "|---|---|---|---|---|",
        row("vx-capture, Wayland (portal + PipeWire)", *rows["vx-capture"]),
        *([row("GStreamer pipewiresrc, same node (second consumer)", *rows["gstreamer"])]
          if "gstreamer" in rows else []),
        row("vx-capture, X11 (XShm + XDamage)", x11, x11_latency),
        "",
        f"Start to \"started\" on Wayland: {statistics.median(chooser) * 1000:.0f} ms with the chooser "
        f"(scripted, answers at once), {statistics.median(restored) * 1000:.0f} ms with the restore "
        f"token (medians of {starts}).",
    ])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build-dir", default=os.path.join(ROOT, "build"))
    parser.add_argument("--seconds", type=float, default=8.0)
    parser.add_argument("--flips", type=int, default=40)
    parser.add_argument("--starts", type=int, default=5)
    args = parser.parse_args()
    binary = os.path.join(os.path.abspath(args.build_dir), "vx-capture")
    print(run(binary, args.seconds, args.flips, args.starts, out=lambda line: print(line, flush=True)))


if __name__ == "__main__":
    main()
