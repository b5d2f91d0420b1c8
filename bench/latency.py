"""Latency of the video path, measured at the pipe's reader.

glass_to_pipe(): the screen is one flat colour and still; the whole screen is flipped to the
other colour, stamped with CLOCK_MONOTONIC right after XSync returns (the server has drawn it),
and the change is found in the stream by decoding it (each access unit's picture, shrunk to a
few pixels): the latency is the time until the last byte of the first access unit showing the
new colour was read.

attach_to_key_frame(): a reader opens the pipe (stamped just before open()) and reads until it
holds a complete IDR access unit with SPS and PPS ahead of it; the latency ends with the read
that brought that unit's last byte.
"""
import os
import random
import select
import statistics
import subprocess
import time

from scroll_painter import XCanvas
from stream_reader import StreamReader, access_units, enlarge_pipe, key_unit_with_parameter_sets

COLOURS = (0x2040a0, 0xe0c020)
THUMB = 4  # decoded pictures are shrunk to THUMB x THUMB


def _rgb(value):
    return ((value >> 16) & 255, (value >> 8) & 255, value & 255)


def decoded_colours(stream):
    """For each picture of an Annex-B stream, the index into COLOURS it shows (None: neither)."""
    result = subprocess.run(
        ["ffmpeg", "-v", "error", "-f", "h264", "-i", "pipe:0", "-vf", f"scale={THUMB}:{THUMB}",
         "-fps_mode", "passthrough", "-pix_fmt", "rgb24", "-f", "rawvideo", "pipe:1"],
        input=stream, capture_output=True, timeout=300)
    size = THUMB * THUMB * 3
    centre = (THUMB // 2 * THUMB + THUMB // 2) * 3
    colours = []
    for offset in range(0, len(result.stdout) - size + 1, size):
        pixel = result.stdout[offset + centre:offset + centre + 3]
        distances = [sum(abs(a - b) for a, b in zip(pixel, _rgb(c))) for c in COLOURS]
        best = min(range(len(COLOURS)), key=distances.__getitem__)
        colours.append(best if distances[best] < 120 else None)
    return colours


def glass_to_pipe(display, make_capture, flips, gap=(0.15, 0.25), settle=1.0):
    """Latencies in seconds, one per flip found in the stream; and how many were not found."""
    canvas = XCanvas(display)
    canvas.rect(COLOURS[0], 0, 0, canvas.width, canvas.height)
    canvas.sync()
    stamps = []
    chooser = random.Random(5)
    try:
        with make_capture() as capture:
            reader = StreamReader.fifo(capture.fifo)
            try:
                reader.wait_for_bytes(1, timeout=15)
                time.sleep(settle)
                for i in range(flips):
                    colour = (i + 1) % 2
                    canvas.rect(COLOURS[colour], 0, 0, canvas.width, canvas.height)
                    canvas.sync()
                    stamps.append((time.monotonic(), colour))
                    time.sleep(chooser.uniform(*gap))
                time.sleep(0.3)
                capture.stop()
            finally:
                reader.stop()
    finally:
        canvas.close()
    data = reader.data()
    units = access_units(data)
    colours = decoded_colours(data)
    arrivals = [reader.arrival(u.end - 1) for u in units]
    latencies, missed = [], 0
    for i, (stamp, colour) in enumerate(stamps):
        limit = stamps[i + 1][0] if i + 1 < len(stamps) else float("inf")
        found = next((t for t, c in zip(arrivals, colours) if stamp < t < limit and c == colour),
                     None)
        if found is None:
            missed += 1
        else:
            latencies.append(found - stamp)
    return latencies, missed


def _read_key_frame(path, timeout):
    """Opens the pipe, reads until a complete key frame: (seconds from open to its last byte,
    its size in bytes), or None."""
    opened = time.monotonic()
    fd = os.open(path, os.O_RDONLY)
    try:
        enlarge_pipe(fd)
        data, times, ends = bytearray(), [], []
        deadline = opened + timeout
        while time.monotonic() < deadline:
            if not select.select([fd], [], [], max(0.0, deadline - time.monotonic()))[0]:
                break
            chunk = os.read(fd, 1 << 20)
            now = time.monotonic()
            if not chunk:
                break
            data += chunk
            times.append(now)
            ends.append(len(data))
            # A unit's end is known once the next one begins.
            for unit in access_units(bytes(data)):
                if key_unit_with_parameter_sets(data, unit):
                    last = unit.end - 1
                    arrived = next(t for t, e in zip(times, ends) if e > last)
                    return arrived - opened, unit.end - unit.start
        return None
    finally:
        os.close(fd)


def attach_to_key_frame(make_capture, attaches, pause=(0.3, 0.5), timeout=3.0):
    """Seconds from open() to a complete key frame, one per attach that got one; how many got
    none; and the key frames' sizes in bytes."""
    chooser = random.Random(11)
    latencies, missed, sizes = [], 0, []
    with make_capture() as capture:
        time.sleep(0.5)
        for _ in range(attaches):
            found = _read_key_frame(capture.fifo, timeout)
            if found is None:
                missed += 1
            else:
                latencies.append(found[0])
                sizes.append(found[1])
            # The capture notices the reader's departure at its next write.
            time.sleep(chooser.uniform(*pause))
    return latencies, missed, sizes


def percentile(values, fraction):
    if not values:
        return float("nan")
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(fraction * (len(ordered) - 1))))]


def summary(values):
    """(median, 95th percentile) in milliseconds."""
    if not values:
        return float("nan"), float("nan")
    return statistics.median(values) * 1000, percentile(values, 0.95) * 1000
