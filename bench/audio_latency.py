"""Click-to-output latency of audio mode, beside FFmpeg's PulseAudio input on the same clicks.

A player written here (libpulse's simple API through ctypes) keeps the sound server's output busy
with silence; now and then a click (10 ms of a loud square wave) goes in instead. The click's
moment is when it is played: the time of the write plus the latency the server reports for the
data already queued. Both captures record the output at once: `vx-capture audio` on its standard
output, and `ffmpeg -f pulse` from the output's monitor. The latency of a click is the time from
its moment until the read that brought its first loud sample. On a null output the server
renders in blocks of about 10 ms, so that moment is exact to within a block; the same clicks
are also timed from when they were handed to the server (write time), which bounds the latency
from above, player buffering included.
"""
import ctypes
import os
import random
import re
import subprocess
import threading
import time

from stream_reader import StreamReader

RATE, CHANNELS, FRAME_BYTES = 48000, 2, 4
CHUNK_FRAMES = 240  # 5 ms
CLICK_FRAMES = 480
LOUD = 8000
PA_STREAM_PLAYBACK, PA_SAMPLE_S16LE = 1, 3
_NONZERO = re.compile(rb"[^\x00]")


class _SampleSpec(ctypes.Structure):
    _fields_ = [("format", ctypes.c_int), ("rate", ctypes.c_uint32), ("channels", ctypes.c_uint8)]


class _BufferAttr(ctypes.Structure):
    _fields_ = [(name, ctypes.c_uint32) for name in ("maxlength", "tlength", "prebuf", "minreq",
                                                      "fragsize")]


class ClickPlayer:
    """A playback stream fed with silence as fast as the server takes it, and clicks on request."""

    def __init__(self, server):
        pulse = ctypes.CDLL("libpulse-simple.so.0")
        pulse.pa_simple_new.restype = ctypes.c_void_p
        pulse.pa_simple_new.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int,
                                        ctypes.c_char_p, ctypes.c_char_p,
                                        ctypes.POINTER(_SampleSpec), ctypes.c_void_p,
                                        ctypes.POINTER(_BufferAttr), ctypes.POINTER(ctypes.c_int)]
        pulse.pa_simple_write.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t,
                                          ctypes.POINTER(ctypes.c_int)]
        pulse.pa_simple_get_latency.restype = ctypes.c_uint64
        pulse.pa_simple_get_latency.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_int)]
        pulse.pa_simple_free.argtypes = [ctypes.c_void_p]
        self.pulse = pulse
        sampleSpec = _SampleSpec(PA_SAMPLE_S16LE, RATE, CHANNELS)
        unset = 0xFFFFFFFF
        attributes = _BufferAttr(unset, RATE // 100 * FRAME_BYTES, unset, unset, unset)
        error = ctypes.c_int(0)
        self.stream = pulse.pa_simple_new(server.encode(), b"vx-bench-clicks", PA_STREAM_PLAYBACK,
                                          None, b"clicks", ctypes.byref(sampleSpec), None,
                                          ctypes.byref(attributes), ctypes.byref(error))
        if not self.stream:
            raise RuntimeError(f"cannot open a playback stream on {server} (error {error.value})")
        self._click_requested = threading.Event()
        self.written, self.played = [], []  # per click
        self._stop = False
        self._thread = threading.Thread(target=self._feed, daemon=True)
        self._thread.start()

    def _feed(self):
        silence = bytes(CHUNK_FRAMES * FRAME_BYTES)
        click = b"".join((LOUD * 2 if (i // 24) % 2 else -LOUD * 2).to_bytes(2, "little", signed=True)
                         * CHANNELS for i in range(CLICK_FRAMES))
        error = ctypes.c_int(0)
        while not self._stop:
            if self._click_requested.is_set():
                self._click_requested.clear()
                queued = self.pulse.pa_simple_get_latency(self.stream, ctypes.byref(error))
                now = time.monotonic()
                self.pulse.pa_simple_write(self.stream, click, len(click), ctypes.byref(error))
                self.written.append(now)
                self.played.append(now + queued / 1e6)
            else:
                self.pulse.pa_simple_write(self.stream, silence, len(silence), ctypes.byref(error))

    def click(self):
        self._click_requested.set()

    def stop(self):
        self._stop = True
        self._thread.join(2)
        self.pulse.pa_simple_free(self.stream)


def onsets(reader, stamps):
    """For each click (stamped when written), when its first loud sample was read; None if not
    before the next click."""
    data = reader.data()
    found = []
    for i, stamp in enumerate(stamps):
        limit = stamps[i + 1] if i + 1 < len(stamps) else float("inf")
        position = reader.offset_at(stamp)
        position -= position % FRAME_BYTES
        arrival = None
        while arrival is None:
            match = _NONZERO.search(data, position)
            if not match:
                break
            frame = match.start() - match.start() % FRAME_BYTES
            sample = int.from_bytes(data[frame:frame + 2], "little", signed=True)
            when = reader.arrival(frame)
            if when is None or when >= limit:
                break
            if abs(sample) >= LOUD // 2:
                arrival = when
            position = frame + FRAME_BYTES
        found.append(arrival)
    return found


def click_latency(binary, env, clicks, gap=(0.25, 0.4)):
    """{"played": {capture: [seconds]}, "written": {...}} and {capture: clicks not found}, the
    same clicks for both captures."""
    ours = subprocess.Popen([binary, "audio", "--rate", str(RATE), "--channels", str(CHANNELS)],
                            env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL)
    theirs = subprocess.Popen(
        ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-f", "pulse",
         "-sample_rate", str(RATE), "-channels", str(CHANNELS),
         "-fragment_size", str(RATE // 100 * FRAME_BYTES), "-i", "default",
         "-f", "s16le", "-flush_packets", "1", "pipe:1"],
        env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    readers = {"vx-capture": StreamReader.descriptor(os.dup(ours.stdout.fileno())),
               "ffmpeg": StreamReader.descriptor(os.dup(theirs.stdout.fileno()))}
    player = ClickPlayer(env["PULSE_SERVER"])
    chooser = random.Random(3)
    try:
        for reader in readers.values():
            reader.wait_for_bytes(1, timeout=10)
        time.sleep(2.5)  # past the sound server's first, long block
        for _ in range(clicks):
            player.click()
            time.sleep(chooser.uniform(*gap))
        time.sleep(0.5)
    finally:
        player.stop()
        ours.stdin.close()
        theirs.terminate()
        for process in (ours, theirs):
            try:
                process.wait(5)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        for reader in readers.values():
            reader.stop()
        for process in (ours, theirs):
            process.stdout.close()
    results, missed = {"played": {}, "written": {}}, {}
    for name, reader in readers.items():
        arrivals = onsets(reader, player.written)
        for basis, stamps in (("played", player.played), ("written", player.written)):
            results[basis][name] = [a - s for a, s in zip(arrivals, stamps) if a is not None]
        missed[name] = sum(1 for a in arrivals if a is None)
    return results, missed
