"""Audio mode's standard output: the exact PCM bytes of scripted float buffers,
and the silent end when the reader of standard output goes away."""
import struct
import time
import unittest

from vxsim import finish, read_exactly, running_sim

ONE_DISPLAY = "display 0 1920 1080\n"
FLOAT_PLANAR = 33   # float, non-interleaved
FLOAT_PACKED = 1    # float, interleaved


def audio(buffers, channels, frames, flags=FLOAT_PLANAR, bits=32, fmt="lpcm", extra=""):
    text = " ".join("buffer=" + b for b in buffers)
    return (f"audio 5 {extra} format={fmt} flags={flags} bits={bits} channels={channels} "
            f"frames={frames} {text}\n")


def s16le(*values):
    return struct.pack("<%dh" % len(values), *values)


def capture(args, script, expected_length):
    """Runs audio mode until expected_length bytes came (or 10 s passed), then
    closes standard input; returns the result with everything written."""
    with running_sim(["audio"] + args, script, started=False) as p:
        head = read_exactly(p.proc.stdout.fileno(), expected_length)
        time.sleep(0.2)  # room for bytes that should not come
        p.wait_for_stderr("started\n")
        r = finish(p)
    r.stdout = head + r.stdout
    return r


class PcmTest(unittest.TestCase):
    def test_scripted_buffers_give_exactly_their_pcm(self):
        script = ONE_DISPLAY + "frame 0 count=3\n" + "".join([
            audio(["0.5", "-0.5"], 2, 1),                                   # the two halves
            audio(["1.0,2,inf,nan", "-1.0,-2,-inf,-0.0"], 2, 4),             # clamps and special values
            audio(["0.25,-0.25,0.5,-0.5"], 2, 2, flags=FLOAT_PACKED),        # interleaved
            audio(["0.25", "0.5"], 2, 1, bits=16, flags=12),                 # 16-bit integers: dropped
            audio(["0.25", "0.5"], 2, 1, bits=64),                           # 64-bit floats: dropped
            audio(["0.25", "0.5"], 2, 0),                                    # no frames: dropped
            audio(["0.25", "0.5"], 2, 1, extra="invalid"),                   # invalid: dropped
            audio(["0.25", "0.5"], 2, 1, extra="noformat"),                  # no description: dropped
            audio(["0.25", "0.5"], 2, 1, extra="nolist"),                    # no buffer list: dropped
            audio(["0.25", "0.5"], 2, 1, fmt="0x61616320"),                  # not linear PCM: dropped
            audio(["0.25,-0.25"], 1, 2),                                     # one source into two outputs
            audio(["null", "0.5,0.25"], 2, 2),                               # null pointer: silence
            audio(["0.5,0.25"], 2, 3),                                       # short list: zeros
        ]) + "frame 0 count=2\n"
        expected = (s16le(16383, -16383)
                    + s16le(32767, -32767, 32767, -32767, 32767, -32767, 32767, 0)
                    + s16le(8191, -8191, 16383, -16383)
                    + s16le(8191, 8191, -8191, -8191)
                    + s16le(0, 16383, 0, 8191)
                    + s16le(16383, 0, 8191, 0, 0, 0))
        r = capture([], script, len(expected))
        self.assertEqual(r.status, 0)
        self.assertEqual(r.stderr, "started\n")
        self.assertEqual(r.stdout.hex(" "), expected.hex(" "))

    def test_channel_counts_map_the_sources(self):
        two_sources = audio(["0.5,0.25", "-0.5,-0.25"], 2, 2)
        cases = {
            "one output takes the first source": (["--channels", "1"], s16le(16383, 8191)),
            "four outputs repeat the last source": (["--channels", "4"],
                                                    s16le(16383, -16383, -16383, -16383, 8191, -8191, -8191, -8191)),
        }
        for name, (args, expected) in cases.items():
            with self.subTest(name):
                r = capture(args, ONE_DISPLAY + two_sources, len(expected))
                self.assertEqual(r.stderr, "started\n")
                self.assertEqual(r.stdout, expected)

    def test_channels_0_runs_and_writes_nothing(self):
        with running_sim(["audio", "--channels", "0"], ONE_DISPLAY + audio(["0.5", "0.5"], 2, 1) * 20) as p:
            time.sleep(0.5)
            self.assertIsNone(p.proc.poll(), "the process keeps running")
            r = finish(p)
        self.assertEqual(r.status, 0)
        self.assertEqual(r.stderr, "started\n")
        self.assertEqual(r.stdout, b"")


class ReaderGoneTest(unittest.TestCase):
    def test_closed_standard_output_ends_with_status_0_and_no_message(self):
        # Buffers keep coming for seconds; standard input stays open throughout,
        # so only the failed write can end the process.
        script = ONE_DISPLAY + audio(["0.5,0.5", "0.5,0.5"], 2, 2).replace("audio 5", "audio 20") * 300
        with running_sim(["audio"], script, started=False) as p:
            first = read_exactly(p.proc.stdout.fileno(), 8)
            self.assertEqual(first, s16le(16383, 16383, 16383, 16383))
            self.assertIsNone(p.proc.poll())
            p.proc.stdout.close()
            p.proc.stdout = None
            status = p.proc.wait(timeout=10)
            stderr = p.proc.stderr.read().decode()
            p.proc.stderr.close()
        self.assertEqual(status, 0)
        self.assertEqual(stderr, "started\n")


if __name__ == "__main__":
    unittest.main()
