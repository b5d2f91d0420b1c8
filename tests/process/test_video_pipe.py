"""What a reader of the video pipe receives: Annex-B access units with parameter
sets ahead of every key frame, a key frame first, and a fresh one for every reader
that comes back."""
import os
import shutil
import tempfile
import time
import unittest

from vxsim import open_fifo_reader as open_reader, read_for, run_until_started

START_CODE = b"\x00\x00\x00\x01"
SPS = bytes([0x67, 0x64, 0x00, 0x2a, 0xac])
PPS = bytes([0x68, 0xee, 0x3c, 0x80])


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
        data = b""

        def read_first(_):
            nonlocal data
            data = read_for(first, 5, enough=lambda d: d.count(START_CODE) >= 3 + 5)

        r = run_until_started(["video", "--out", self.fifo, "--width", "640", "--height", "360"], script,
                              during=read_first)
        self.assertEqual(r.status, 0)
        self.assertEqual(r.stderr, "started\n")
        units = nal_units(data)
        self.assertEqual(units[:3], [SPS, PPS, bytes([0x65, 7, 0x11, 0x22])])
        self.assertEqual(units[3:8], [bytes([0x41, 9, 0x11, 0x22])] * 5)
        self.assert_well_formed(data)

    def test_a_reader_that_comes_back_gets_a_new_key_frame(self):
        script = "display 0 1920 1080\nframe 50 count=10 fill=5\n"  # then a still screen
        def two_readers(p):
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

        r = run_until_started(["video", "--out", self.fifo], script, during=two_readers)
        self.assertEqual(r.status, 0)
        self.assertEqual(r.stderr, "started\n")
        forced = [l for l in r.record if l.startswith("session encode") and "options=ForceKeyFrame" in l]
        # The first reader may attach before the first frame, whose key frame then serves it.
        self.assertGreaterEqual(len(forced), 2, "one key frame for each reader")

    def test_without_a_reader_the_capture_runs_and_nothing_is_encoded(self):
        script = "display 0 1920 1080\nframe 20 count=10\n"

        def frames_pass(p):
            time.sleep(0.6)  # the ten frames and several repeat ticks
            self.assertIsNone(p.proc.poll())

        r = run_until_started(["video", "--out", self.fifo], script, during=frames_pass)
        self.assertEqual((r.status, r.stderr), (0, "started\n"))
        self.assertFalse([l for l in r.record if l.startswith("session encode")])
        self.assertEqual([l for l in r.record if l.startswith("stream screen-frames")],
                         ["stream screen-frames wanted=0"])
        self.assertLess(r.record.index("startCapture"), r.record.index("stream screen-frames wanted=0"))

    def test_the_stream_is_told_when_a_reader_comes_and_goes(self):
        script = "display 0 1920 1080\nframe 20 fill=5\n"

        def two_readers(p):
            for _ in range(2):
                fd = self.reader()
                self.assertTrue(has_key_frame(read_for(fd, 5, enough=has_key_frame)))
                os.close(fd)
                self.readers.remove(fd)
                p.wait_for_record(lambda lines: lines.count("stream screen-frames wanted=0") >= 2 + _)

        r = run_until_started(["video", "--out", self.fifo], script, during=two_readers)
        self.assertEqual((r.status, r.stderr), (0, "started\n"))
        self.assertEqual([l.split("=")[1] for l in r.record if l.startswith("stream screen-frames")],
                         ["0", "1", "0", "1", "0"])

    def test_every_reader_of_a_moving_screen_begins_with_sps_pps_and_an_idr_frame(self):
        # A frame every 100 ms, and a session whose output takes 95 ms: an access unit
        # encoded for the previous reader is often on its way when the next one comes.
        script = "display 0 1920 1080\nencoder-latency 95000\nframe 100 count=200 fill=3\n"
        firsts = []

        def many_readers(_):
            for _ in range(12):
                fd = self.reader()
                data = read_for(fd, 5, enough=lambda d: d.count(START_CODE) >= 3)
                firsts.append(nal_units(data)[:3] if data else [])
                os.close(fd)
                self.readers.remove(fd)
                time.sleep(0.05)  # the writer notices, and lets go of the old pipe

        r = run_until_started(["video", "--out", self.fifo], script, during=many_readers)
        self.assertEqual((r.status, r.stderr), (0, "started\n"))
        for i, units in enumerate(firsts):
            self.assertEqual(units, [SPS, PPS, bytes([0x65, 3, 0x11, 0x22])], f"reader {i}")

    def test_a_reader_gets_a_key_frame_of_the_fresh_frame_the_stream_sends_when_wanted(self):
        # Frame 1 is captured while nobody reads, and the screen changes meanwhile;
        # the stream grabs frame 2 once a reader wants frames.
        script = "display 0 1920 1080\nframe 10 fill=1\nframe-when-wanted 20 fill=2\n"

        def reader_comes(p):
            p.wait_for_record(lambda lines: "stream screen-frames wanted=0" in lines)
            time.sleep(0.2)
            fd = self.reader()
            data = read_for(fd, 5, enough=has_key_frame)
            self.assertEqual(nal_units(data)[:3], [SPS, PPS, bytes([0x65, 2, 0x11, 0x22])])

        r = run_until_started(["video", "--out", self.fifo], script, during=reader_comes)
        self.assertEqual((r.status, r.stderr), (0, "started\n"))
        self.assertFalse([l for l in r.record if l.startswith("session encode") and l.endswith("luma=1")],
                         "the stale frame was not encoded")

    def test_a_stream_that_ignores_the_hint_still_gives_a_new_reader_a_picture(self):
        script = "display 0 1920 1080\nframe 10 fill=4\n"  # then nothing: a still screen

        def reader_comes(p):
            time.sleep(0.3)
            fd = self.reader()
            data = read_for(fd, 5, enough=has_key_frame)
            self.assertEqual(nal_units(data)[:3], [SPS, PPS, bytes([0x65, 4, 0x11, 0x22])])

        r = run_until_started(["video", "--out", self.fifo], script, during=reader_comes)
        self.assertEqual((r.status, r.stderr), (0, "started\n"))


if __name__ == "__main__":
    unittest.main()
