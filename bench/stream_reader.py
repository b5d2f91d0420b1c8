"""Readers that drain a byte stream (a named pipe or a process's standard output) as fast as it
comes, stamping every read with CLOCK_MONOTONIC, and the H.264 access-unit split used to count
frames and to date them at the reader.

    reader = StreamReader.fifo(path)        # opens in its own thread (blocks until a writer)
    ...
    reader.stop()
    units = access_units(reader.data())     # [AccessUnit(start, end, key)]
    arrived = reader.arrival(units[0].end - 1)

Arrival of a byte is the time of the read that returned it, so an access unit has arrived when
its last byte has. The pipe buffer is raised to 1 MiB where the system allows it, so that one
write of the encoder is one read here and the reader's own pace does not show in the figures.
"""
import bisect
import fcntl
import os
import re
import select
import threading
import time
from dataclasses import dataclass

F_SETPIPE_SZ = 1031
PIPE_SIZE = 1 << 20
READ_SIZE = 1 << 20

SLICE_TYPES = (1, 5)
PREFIX_TYPES = (6, 7, 8, 9)  # SEI, SPS, PPS, access-unit delimiter
IDR, SPS, PPS = 5, 7, 8
_NAL = re.compile(rb"\x00\x00\x01(.)(.)", re.DOTALL)


def enlarge_pipe(fd):
    try:
        fcntl.fcntl(fd, F_SETPIPE_SZ, PIPE_SIZE)
    except OSError:
        pass  # above the system's limit: the default size stays


class StreamReader:
    """Reads one descriptor in a thread until end of file or stop(); keeps every byte."""

    def __init__(self, opener):
        self._opener = opener
        self._data = bytearray()
        self._times = []   # time of each read
        self._ends = []    # offset just past each read's bytes
        self._stop = False
        self.opened_at = None
        self.ended = False
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    @classmethod
    def fifo(cls, path):
        def opener():
            fd = os.open(path, os.O_RDONLY)
            enlarge_pipe(fd)
            return fd
        return cls(opener)

    @classmethod
    def descriptor(cls, fd):
        return cls(lambda: fd)

    def _run(self):
        fd = self._opener()
        self.opened_at = time.monotonic()
        try:
            while not self._stop:
                if not select.select([fd], [], [], 0.1)[0]:
                    continue
                chunk = os.read(fd, READ_SIZE)
                now = time.monotonic()
                if not chunk:
                    self.ended = True
                    break
                self._data += chunk
                self._times.append(now)
                self._ends.append(len(self._data))
        finally:
            os.close(fd)

    def stop(self, timeout=5.0):
        self._stop = True
        self._thread.join(timeout)

    def wait_for_bytes(self, count=1, timeout=10.0):
        deadline = time.monotonic() + timeout
        while len(self._data) < count and time.monotonic() < deadline and not self.ended:
            time.sleep(0.01)
        return len(self._data) >= count

    def data(self):
        return bytes(self._data)

    def size(self):
        return len(self._data)

    def arrival(self, offset):
        """When the byte at offset was read (None if it has not been)."""
        index = bisect.bisect_right(self._ends, offset)
        return self._times[index] if index < len(self._times) else None

    def offset_at(self, when):
        """How many bytes had been read by time `when`."""
        index = bisect.bisect_right(self._times, when)
        return self._ends[index - 1] if index else 0

    def bytes_between(self, start, end):
        return self.offset_at(end) - self.offset_at(start)


@dataclass
class AccessUnit:
    start: int   # offset of its first start code
    end: int     # offset just past its last byte
    key: bool    # carries an IDR slice


def access_units(data, complete_tail=False):
    """The access units of an Annex-B stream, in order. A unit begins with the parameter sets,
    SEI or delimiter ahead of a picture's first slice, or with that slice. The last unit is left
    out unless complete_tail (its end is only known once the next one begins)."""
    units = []
    prefix = None      # start of the non-slice NAL units seen since the last slice
    current = None     # [start, key] of the unit being collected
    for match in _NAL.finditer(data):
        begin = match.start() - 1 if match.start() > 0 and data[match.start() - 1] == 0 else match.start()
        header, following = match.group(1)[0], match.group(2)[0]
        kind = header & 0x1F
        if kind in SLICE_TYPES:
            if following & 0x80:  # first_mb_in_slice == 0: a new picture
                start = prefix if prefix is not None else begin
                if current is not None:
                    units.append(AccessUnit(current[0], start, current[1]))
                current = [start, kind == IDR]
            elif current is not None and kind == IDR:
                current[1] = True
            prefix = None
        elif kind in PREFIX_TYPES and prefix is None:
            prefix = begin
    if current is not None and complete_tail:
        units.append(AccessUnit(current[0], len(data), current[1]))
    return units


def key_unit_with_parameter_sets(data, unit):
    """True when the unit is an IDR picture with an SPS and a PPS ahead of its slices."""
    if not unit.key:
        return False
    seen = set()
    for match in _NAL.finditer(data, unit.start, unit.end):
        kind = match.group(1)[0] & 0x1F
        if kind in SLICE_TYPES:
            return {SPS, PPS} <= seen
        seen.add(kind)
    return False
