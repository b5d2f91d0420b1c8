"""Video mode end to end, for hours of unattended running: pipe readers by the thousand that
attach and leave while frames flow, and readers that attach and stop reading. The process must
not crash, keep descriptors or threads of readers that have left, or grow while a reader stalls;
the next reader must still get a stream it can decode.

Figures about the process (descriptors, threads, resident memory) come from /proc.
"""
import fcntl
import os
import random
import select
import time
import unittest

from video_capture import (START_CODE, VideoCapture, access_units, decode_errors, is_key_frame,
                           join_from_key_frame)
from virtual_display import VirtualDisplay, require_tools

F_SETPIPE_SZ = 1031   # fcntl command (Linux): the pipe's capacity, from either end


TOOLS = ("Xvfb", "xsetroot", "xdotool", "ffmpeg")


def descriptors(pid):
    return set(os.listdir(f"/proc/{pid}/fd"))


def status_field(pid, name):
    """A number from /proc/<pid>/status (VmRSS in kB, Threads, ...)."""
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith(name + ":"):
                return int(line.split()[1])
    raise AssertionError(f"no {name} in /proc/{pid}/status")


def read_for(fd, seconds, limit=None):
    """Whatever the pipe gives within seconds (or until limit bytes came, or the writer let go)."""
    data = bytearray()
    deadline = time.monotonic() + seconds
    while limit is None or len(data) < limit:
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            break
        chunk = os.read(fd, 1 << 16 if limit is None else min(1 << 16, limit - len(data)))
        if not chunk:
            break
        data += chunk
    return bytes(data)


def read_until_quiet(fd, quiet, longest=5.0):
    """Reads until nothing has come for quiet seconds (after something came)."""
    data = bytearray()
    deadline = time.monotonic() + longest
    while time.monotonic() < deadline:
        if not select.select([fd], [], [], quiet if data else deadline - time.monotonic())[0]:
            if data:
                break
            continue
        chunk = os.read(fd, 1 << 16)
        if not chunk:
            break
        data += chunk
    return bytes(data)


def open_reader(path):
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
    os.set_blocking(fd, True)
    return fd


def units_from_first_start_code(data):
    """Access units of a reader that may have joined in the middle of a unit."""
    first = data.find(START_CODE)
    return access_units(data[first:]) if first >= 0 else []


@require_tools(*TOOLS)
class ReaderChurn(unittest.TestCase):
    CYCLES = 1000
    # How each short-lived reader behaves: the longest wait for data, and how much it takes
    # before it leaves (0: opens and closes at once; a little: leaves in the middle of a unit;
    # a lot: several units, often in the middle of a key frame).
    READERS = [
        ("nothing", 0.0, 0),
        ("a little", 0.02, 1000),
        ("a lot", 0.1, 256 * 1024),
    ]
    RSS_GROWTH_KB = 20 * 1024

    def test_a_thousand_readers_come_and_go_and_the_next_one_decodes(self):
        with VirtualDisplay(1280, 720) as display:
            display.start_motion("bar")
            with VideoCapture(display.env(), "--width", "1280", "--height", "720") as capture:
                capture.wait_started()
                pid = capture.process.pid
                capture.read(1.0)   # the first attachment: frames flow, the encoder is warm
                capture.close_reader()
                time.sleep(0.3)
                fds_before, threads_before = descriptors(pid), status_field(pid, "Threads")
                rss_before = status_field(pid, "VmRSS")

                order = random.Random(7)
                taken = {name: 0 for name, _, _ in self.READERS}
                for _ in range(self.CYCLES):
                    name, wait, limit = order.choice(self.READERS)
                    reader = open_reader(capture.fifo)
                    if limit:
                        taken[name] += len(read_for(reader, wait, limit))
                    os.close(reader)
                self.assertIsNone(capture.process.poll(), "vx-capture ended during the churn")
                self.assertGreater(taken["a lot"], 0, "the readers got nothing: no frames flowed")

                # With frames flowing, the writer notices within a frame or two that the last
                # reader has gone and lets go of its end.
                time.sleep(0.5)
                fds_after, threads_after = descriptors(pid), status_field(pid, "Threads")
                rss_after = status_field(pid, "VmRSS")
                # One descriptor may be an attachment the writer has not found gone yet.
                self.assertLessEqual(len(fds_after - fds_before), 1,
                                     f"descriptors before {sorted(fds_before)}, after {sorted(fds_after)}")
                self.assertLessEqual(threads_after, threads_before + 1)
                self.assertLess(rss_after - rss_before, self.RSS_GROWTH_KB)

                last = open_reader(capture.fifo)
                data = read_for(last, 2.0)
                os.close(last)
                status, rest = capture.finish()
        print(f"\n{self.CYCLES} readers, bytes taken: {taken}; descriptors {len(fds_before)} -> "
              f"{len(fds_after)}, threads {threads_before} -> {threads_after}, "
              f"VmRSS {rss_before} -> {rss_after} kB")

        self.assertEqual((status, rest), (0, b""))
        # The writer had let go of the pipe: the last reader is a new attachment and gets
        # whole units from the first byte on, a key frame among them.
        self.assertTrue(data.startswith(START_CODE), f"the last reader's stream begins {data[:16]!r}")
        units = access_units(data)
        self.assertTrue(any(is_key_frame(unit) for unit in units), "no key frame for the last reader")
        self.assertEqual(decode_errors(join_from_key_frame(units)), "")

    # A reader leaves and the next one opens the pipe shortly after, before the next write
    # (a still screen writes every 100 ms, moving content every frame). The newcomer must get
    # a pipe of its own: whole units from its first byte, and a key frame asked for it. Joining
    # the old pipe, it would first get what the previous reader left unread (the middle of a
    # unit), and wait for the encoder's own key-frame interval (2 s; 12 s on a still screen).
    # content, how the previous reader leaves, pause before the newcomer opens
    COMEBACKS = [
        ("still", "in the middle of a key frame", 0.02),   # the writer is writing to it
        ("still", "between two writes", 0.02),             # the writer is idle
        ("moving", "in the middle of a unit", 0.005),
    ]
    KEY_FRAME_WITHIN = 1.0   # seconds; a fresh attachment gets one within a frame or two

    def test_a_reader_that_comes_back_between_two_writes_gets_a_fresh_start(self):
        for content, leaving, pause in self.COMEBACKS:
            with self.subTest(content=content, leaving=leaving), VirtualDisplay(1280, 720) as display:
                if content == "still":
                    # A fine pattern: its key frame is hundreds of kilobytes, its repeats tiny.
                    display.run(["xsetroot", "-mod", "3", "3", "-fg", "#e0c040", "-bg", "#203060"])
                else:
                    display.start_motion("bar")
                with VideoCapture(display.env(), "--width", "1280", "--height", "720") as capture:
                    capture.wait_started()
                    streams = []
                    for _ in range(5):
                        previous = open_reader(capture.fifo)
                        if leaving == "between two writes":
                            read_until_quiet(previous, 0.05)
                        else:
                            read_for(previous, 1.0, 1000)
                        os.close(previous)
                        time.sleep(pause)
                        newcomer = open_reader(capture.fifo)
                        streams.append(read_for(newcomer, self.KEY_FRAME_WITHIN))
                        os.close(newcomer)
                        time.sleep(0.3)
                    status, rest = capture.finish()
                self.assertEqual((status, rest), (0, b""))
                for data in streams:
                    self.assertTrue(data.startswith(START_CODE), f"the stream begins {data[:16]!r}")
                    self.assertTrue(any(is_key_frame(unit) for unit in access_units(data)),
                                    f"no key frame within {self.KEY_FRAME_WITHIN} s")


@require_tools(*TOOLS)
class StalledReader(unittest.TestCase):
    RSS_GROWTH_KB = 20 * 1024
    EXIT_WITHIN = 2.0   # seconds; the end of standard input ends the process at once

    def test_a_reader_that_stops_reading_blocks_only_the_pipe(self):
        for content in ("moving", "still"):
            with self.subTest(content=content), VirtualDisplay(1920, 1080) as display:
                if content == "moving":
                    display.start_motion("bar")
                else:
                    display.fill("#336699")
                with VideoCapture(display.env()) as capture:
                    capture.wait_started()
                    pid = capture.process.pid
                    capture.open_reader()
                    self.assertTrue(read_for(capture.reader, 2.0, 100), "nothing came through the pipe")
                    time.sleep(1.0)   # the pipe fills; the encoder's output waits in its write
                    samples = []
                    for _ in range(9):
                        samples.append(status_field(pid, "VmRSS"))
                        time.sleep(0.5)
                    self.assertIsNone(capture.process.poll())

                    closed = time.monotonic()
                    capture.process.stdin.close()
                    try:
                        capture.process.wait(10)
                    except Exception:
                        self.fail("vx-capture did not end at the end of its standard input")
                    took = time.monotonic() - closed
                    status, rest = capture.process.returncode, capture.process.stderr.read()
                print(f"\nstalled reader, {content}: VmRSS {samples[0]} .. {max(samples)} kB, "
                      f"ended {took * 1000:.0f} ms after standard input closed")
                self.assertEqual((status, rest), (0, b""))
                self.assertLess(took, self.EXIT_WITHIN)
                self.assertLess(max(samples) - samples[0], self.RSS_GROWTH_KB)

    def test_frames_do_not_pile_up_behind_a_stalled_reader(self):
        # The idle repeat hands the last frame to the encoder every 100 ms. Behind a write
        # that waits for the reader, those frames must not queue up (ten a second for as long
        # as the reader stalls) to reach a reader that resumes as a burst of stale repeats:
        # the back-pressure of the pipe stops at the encoder.
        stall = 8.0
        with VirtualDisplay(1280, 720) as display:
            # A fine still pattern: its key frame is hundreds of kilobytes, its repeats tiny.
            display.run(["xsetroot", "-mod", "3", "3", "-fg", "#e0c040", "-bg", "#203060"])
            display.move_pointer(5, 5)
            with VideoCapture(display.env(), "--width", "1280", "--height", "720") as capture:
                capture.wait_started()
                capture.open_reader()
                # A small pipe: the first key frame alone fills it, and the writer waits in
                # its write for the rest of the stall.
                fcntl.fcntl(capture.reader, F_SETPIPE_SZ, 4096)
                time.sleep(stall)
                units = units_from_first_start_code(read_for(capture.reader, 1.5))
                status, _ = capture.finish()
        self.assertEqual(status, 0)
        self.assertTrue(units, "nothing came through the pipe")
        # A still screen gives ten units a second; what waited in the pipe and in the
        # encoder adds a few. Frames queued during the stall would add ten a second of it.
        self.assertLess(len(units), 15 + 10 + 0.4 * 10 * stall,
                        f"{len(units)} units in 1.5 s after a stall of {stall:.0f} s")


if __name__ == "__main__":
    unittest.main()
