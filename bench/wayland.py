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
"""
import argparse
import os
import random
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


def wayland_throughput(binary, desktop, seconds, warmup=1.5):
    env = desktop.env(tempfile.mkdtemp(prefix="vx-bench-state-"))
    before, start = desktop_cpu(desktop), time.monotonic()
    time.sleep(3)
    idle = (desktop_cpu(desktop) - before) / (time.monotonic() - start)
    with VxCapture(binary, env, *OUT, FPS, KBPS) as capture:
        reader = StreamReader.fifo(capture.fifo)
        try:
            if not reader.wait_for_bytes(1, timeout=15):
                raise RuntimeError("vx-capture on Wayland: nothing came through the pipe")
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


def wayland_glass_to_pipe(binary, desktop, flips, gap=(0.15, 0.25), settle=1.0):
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
        env = desktop.env(tempfile.mkdtemp(prefix="vx-bench-state-"))
        with VxCapture(binary, env, *OUT, FPS, KBPS) as capture:
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
    with WaylandDesktop(*OUT) as desktop:
        chooser, restored = handshakes(binary, desktop, starts)
        out(f"  wayland start to started: chooser median {statistics.median(chooser) * 1000:.0f} ms, "
            f"restored median {statistics.median(restored) * 1000:.0f} ms")
        desktop.start_terminal(SCROLL)
        wayland = wayland_throughput(binary, desktop, seconds)
        desktop.kill("foot")
        out("  wayland scrolling: %.1f fps at the pipe, %.3f CPU s/s, display side +%.3f CPU s/s" % wayland)
        wayland_latency = wayland_glass_to_pipe(binary, desktop, flips)
        out("  wayland glass to pipe: %d found, %d missed, median %.1f ms, p95 %.1f ms"
            % (len(wayland_latency[0]), wayland_latency[1], *summary(wayland_latency[0])))
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
        "| path | fps at the pipe | vx-capture CPU ms/frame | display side extra CPU ms/frame | "
        "glass to pipe median / p95 ms |",
        "|---|---|---|---|---|",
        row("Wayland (portal + PipeWire)", wayland, wayland_latency),
        row("X11 (XShm + XDamage)", x11, x11_latency),
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
