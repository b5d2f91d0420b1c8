"""The process as its parent sees it: mode check, standard input, start outcomes."""
import time
import unittest

from vxsim import (finish, run_sim, run_to_its_end, run_with_closed_descriptors, run_with_closed_stderr,
                   running_sim)

USAGE = "vx-capture: usage: vx-capture audio|video [options], see main\n"
ONE_DISPLAY = "display 0 1920 1080\n"


class ModeTest(unittest.TestCase):
    def test_rejected_modes_give_the_usage_line_and_status_2(self):
        cases = {
            "no mode": [],
            "wrong case": ["Audio"],
            "upper case video": ["VIDEO"],
            "leading blank": [" audio"],
            "trailing blank": ["video "],
            "empty": [""],
            "option before the mode": ["--rate", "44100", "audio"],
            "other word": ["screen", "--out", "/tmp/x"],
        }
        for name, args in cases.items():
            with self.subTest(name):
                r = run_sim(args, ONE_DISPLAY)
                self.assertEqual(r.status, 2)
                self.assertEqual(r.stderr, USAGE)
                self.assertEqual(r.stdout, b"")
                self.assertEqual(r.record, [], "the platform must not be asked anything")


class StandardInputTest(unittest.TestCase):
    def test_end_of_input_at_once_ends_with_status_0_and_no_message(self):
        # The stream never answers: content is asked but start is scripted to hang
        # behind a long frame delay; the end of input must still end the process.
        for mode in (["audio"], ["video", "--out", "/nonexistent/vx-fifo"]):
            with self.subTest(mode[0]):
                r = run_sim(mode, ONE_DISPLAY, stdin=b"")
                self.assertEqual(r.status, 0)
                self.assertNotIn("vx-capture:", r.stderr)

    def test_bytes_on_standard_input_are_ignored_until_its_end(self):
        with running_sim(["audio"], ONE_DISPLAY) as p:
            for _ in range(3):
                p.proc.stdin.write(b"stop\n\x00quit\n")
                p.proc.stdin.flush()
                time.sleep(0.1)
                self.assertIsNone(p.proc.poll(), "bytes on standard input must not end the process")
            r = finish(p, timeout=5)
        self.assertEqual(r.status, 0)
        self.assertEqual(r.stderr, "started\n")


class StartOutcomeTest(unittest.TestCase):
    def run_started(self, args, script, hold=0.6):
        return run_sim(args, script, hold_stdin_s=hold)

    def test_success_writes_started_exactly_once(self):
        for mode in (["audio"], ["video", "--out", "/nonexistent/vx-fifo"]):
            with self.subTest(mode[0]):
                r = self.run_started(mode, ONE_DISPLAY)
                self.assertEqual(r.status, 0)
                self.assertEqual(r.stderr, "started\n")

    def test_start_errors_choose_the_status_by_code(self):
        cases = [
            # (script line, status, stderr)
            ("content-error -3801 The user declined capture.", 5,
             "vx-capture: could not start capture: The user declined capture.\n"),
            ("start-error -3801 The user declined capture.", 5,
             "vx-capture: could not start capture: The user declined capture.\n"),
            ("content-error -3802 no content", 3, "vx-capture: could not start capture: no content\n"),
            ("start-error 1 failed to start", 3, "vx-capture: could not start capture: failed to start\n"),
            ("start-error 3801 positive code", 3, "vx-capture: could not start capture: positive code\n"),
            ("start-error -3801", 5, "vx-capture: could not start capture: \n"),
            ("start-error -7", 3, "vx-capture: could not start capture: \n"),
        ]
        for mode in (["audio"], ["video", "--out", "/nonexistent/vx-fifo"]):
            for line, status, stderr in cases:
                with self.subTest(mode=mode[0], line=line):
                    r = self.run_started(mode, ONE_DISPLAY + line + "\n", hold=3)
                    self.assertEqual(r.status, status)
                    self.assertEqual(r.stderr, stderr)

    def test_a_stopped_stream_ends_with_status_3(self):
        for mode in (["audio"], ["video", "--out", "/nonexistent/vx-fifo"]):
            for line, stderr in [
                ("stop-after 100 -3821 The display was disconnected.",
                 "started\nvx-capture: capture stopped: The display was disconnected.\n"),
                ("stop-after 100 -3821", "started\nvx-capture: capture stopped: \n"),
            ]:
                with self.subTest(mode=mode[0], line=line):
                    r = self.run_started(mode, ONE_DISPLAY + line + "\n", hold=3)
                    self.assertEqual(r.status, 3)
                    self.assertEqual(r.stderr, stderr)


class OtherStartFailuresTest(unittest.TestCase):
    def test_any_failure_of_the_start_ends_with_the_start_line_and_status_3(self):
        # Not a refusal of the platform but what any start may meet: a thread that cannot be
        # created, memory that cannot be had.
        cases = [
            ("content-throw Resource temporarily unavailable",
             "vx-capture: could not start capture: Resource temporarily unavailable\n"),
            ("content-throw bad_alloc", "vx-capture: could not start capture: out of memory\n"),
        ]
        for mode in (["audio"], ["video", "--out", "/nonexistent/vx-fifo"]):
            for line, stderr in cases:
                with self.subTest(mode=mode[0], line=line):
                    r = run_to_its_end(mode, ONE_DISPLAY + line + "\n")
                    self.assertEqual(r.status, 3)
                    self.assertEqual(r.stderr, stderr)


class ClosedStandardErrorTest(unittest.TestCase):
    def test_a_parent_that_closed_standard_error_still_gets_the_status(self):
        # Every ending that writes a line, and a run that writes "started": the status, never a
        # death by SIGPIPE (-13).
        cases = {
            "usage line": (["screen"], ONE_DISPLAY, 2),
            "no mode": ([], ONE_DISPLAY, 2),
            "video without --out": (["video"], ONE_DISPLAY, 2),
            "refused option": (["audio", "--rate", "0"], ONE_DISPLAY, 2),
            "start failure": (["audio"], ONE_DISPLAY + "content-error -3802 no content\n", 3),
            "no display": (["audio"], "", 3),
            "started, then the end of standard input": (["audio"], ONE_DISPLAY, 0),
        }
        for name, (args, script, status) in cases.items():
            with self.subTest(name):
                self.assertEqual(run_with_closed_stderr(args, script), status)


class UnopenedStandardDescriptorsTest(unittest.TestCase):
    # What the program opens itself (here the stand-in's record file) must never take the
    # number of a standard descriptor the parent left closed.
    AUDIO = "audio 5 format=lpcm flags=33 bits=32 channels=1 frames=2 buffer=0.5,0.5\n"
    STARTED = ["content excludingDesktopWindows=0 onScreenWindowsOnly=0", "filter display=0 excluded= windows=0"]

    def test_no_standard_input_ends_with_status_0(self):
        r = run_with_closed_descriptors(["audio"], ONE_DISPLAY + self.AUDIO, closed=(0,))
        self.assertEqual(r.status, 0)
        self.assertNotIn("vx-capture:", r.stderr)

    def test_no_standard_output_ends_audio_with_status_0_and_writes_into_nothing_else(self):
        r = run_with_closed_descriptors(["audio"], ONE_DISPLAY + self.AUDIO * 50, closed=(1,), hold_stdin_s=5)
        self.assertEqual(r.status, 0)
        self.assertNotIn("vx-capture:", r.stderr)
        self.assertEqual(r.record[:2], self.STARTED)
        self.assertTrue(all(line.isprintable() for line in r.record), r.record)

    def test_no_standard_error_keeps_the_status_and_writes_no_line_into_anything_else(self):
        r = run_with_closed_descriptors(["audio"], ONE_DISPLAY + "start-error -3802 refused\n", closed=(2,),
                                        hold_stdin_s=5)
        self.assertEqual(r.status, 3)
        self.assertTrue(r.record, "the stand-in's record is empty")
        self.assertFalse([line for line in r.record if line.startswith("vx-capture: ") or line == "started"], r.record)


if __name__ == "__main__":
    unittest.main()
