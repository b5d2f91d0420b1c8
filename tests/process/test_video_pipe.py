"""What a reader of the video pipe receives: Annex-B access units with parameter
sets ahead of every key frame, a key frame first, and a fresh one for every reader
that comes back."""
import os
import select
import shutil
import tempfile
import time
import unittest

from vxsim import start_sim

START_CODE = b"\x00\x00\x00\x01"
SPS = bytes([0x67, 0x64, 0x00, 0x2a, 0xac])
PPS = bytes([0x68, 0xee, 0x3c, 0x80])


def open_reader(path):
    """Opens the FIFO for reading without waiting for the writer; reads then block."""
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
    os.set_blocking(fd, True)
    return fd


def read_for(fd, seconds, enough=None):
    """Reads what comes within seconds, or until enough(data) holds."""
    data = b""
    deadline = time.monotonic() + seconds
    while not (enough and enough(data)):
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            break
        chunk = os.read(fd, 65536)
        if not chunk:
            break
        data += chunk
    return data


def nal_units(stream):
    """The NAL units of an Annex-B stream that uses 4-byte start codes only."""
    if not stream.startswith(START_CODE):
        raise AssertionError("the stream does not begin with a start code: %r" % stream[:16])
    return stream.split(START_CODE)[1:]


def has_key_frame(data):
    return START_CODE + SPS + START_CODE + PPS + START_CODE + b"\x65" in data


class VideoPipeTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="vx-video-")
        self.fifo = os.path.join(self.folder, "video.fifo")
        os.mkfifo(self.fifo)
        self.readers = []

    def tearDown(self):
        for fd in self.readers:
            os.close(fd)
        shutil.rmtree(self.folder, ignore_errors=True)

    def reader(self):
        fd = open_reader(self.fifo)
        self.readers.append(fd)
        return fd

    def assert_well_formed(self, stream):
        units = nal_units(stream)
        self.assertTrue(units, "no NAL unit came")
        for i, unit in enumerate(units):
            self.assertTrue(unit, "an empty NAL unit at %d" % i)
            if unit[0] == 0x65:
                self.assertGreaterEqual(i, 2)
                self.assertEqual(units[i - 2:i], [SPS, PPS], "parameter sets must precede key frame %d" % i)

    def test_a_reader_receives_a_key_frame_first_then_the_frames_that_follow(self):
        first = self.reader()  # waiting before the program starts
        script = "display 0 1920 1080\nframe 300 fill=7\nframe 20 count=5 fill=9\n"
        p = start_sim(["video", "--out", self.fifo, "--width", "640", "--height", "360"], script)
        try:
            data = read_for(first, 5, enough=lambda d: d.count(START_CODE) >= 3 + 5)
            p.wait_for_stderr("started\n")
            p.close_stdin()
            r = p.wait(timeout=10)
        finally:
            p.kill()
        self.assertEqual(r.status, 0)
        self.assertEqual(r.stderr, "started\n")
        units = nal_units(data)
        self.assertEqual(units[:3], [SPS, PPS, bytes([0x65, 7, 0x11, 0x22])])
        self.assertEqual(units[3:8], [bytes([0x41, 9, 0x11, 0x22])] * 5)
        self.assert_well_formed(data)

    def test_a_reader_that_comes_back_gets_a_new_key_frame(self):
        script = "display 0 1920 1080\nframe 50 count=10 fill=5\n"  # then a still screen
        p = start_sim(["video", "--out", self.fifo], script)
        try:
            first = self.reader()
            data = read_for(first, 5, enough=has_key_frame)
            self.assertTrue(has_key_frame(data), "the first reader got no key frame: %r" % data[:64])
            self.assert_well_formed(data)
            os.close(first)
            self.readers.remove(first)

            time.sleep(0.3)  # the repeats meanwhile find the pipe without a reader
            second = self.reader()
            again = read_for(second, 5, enough=has_key_frame)
            self.assertTrue(has_key_frame(again), "the second reader got no key frame: %r" % again[:64])
            self.assertIsNone(p.proc.poll(), "the program must outlive its readers")
            p.wait_for_stderr("started\n")
            p.close_stdin()
            r = p.wait(timeout=10)
        finally:
            p.kill()
        self.assertEqual(r.status, 0)
        self.assertEqual(r.stderr, "started\n")
        forced = [l for l in r.record if l.startswith("session encode") and "options=ForceKeyFrame" in l]
        # The first reader may attach before the first frame, whose key frame then serves it.
        self.assertGreaterEqual(len(forced), 2, "one key frame for each reader")

    def test_the_pipe_is_not_needed_for_the_capture_to_run(self):
        script = "display 0 1920 1080\nframe 20 count=10\n"
        p = start_sim(["video", "--out", self.fifo], script)
        try:
            p.wait_for_record(lambda lines: sum(l.startswith("session encode") for l in lines) >= 10)
            self.assertIsNone(p.proc.poll())
            p.wait_for_stderr("started\n")
            p.close_stdin()
            r = p.wait(timeout=10)
        finally:
            p.kill()
        self.assertEqual(r.status, 0)
        self.assertEqual(r.stderr, "started\n")


if __name__ == "__main__":
    unittest.main()
