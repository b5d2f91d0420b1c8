"""Video mode's start as the parent sees it: option checks, display choice, the
stream configuration, the encoder settings, and every way the start can end."""
import os
import shutil
import subprocess
import tempfile
import time
import unittest

from vxsim import SIM, run_sim, run_until_started

ONE_DISPLAY = "display 0 1920 1080\n"
NO_FIFO = "/nonexistent/vx-capture-test/video.fifo"


def started(args, script=ONE_DISPLAY):
    """Runs video mode until the capture has started, then ends it through standard
    input; returns the result."""
    return run_until_started(["video"] + args, script)


def ended(args, script):
    """Runs video mode with standard input held open, so that the process ends on
    its own account (or after 5 seconds)."""
    return run_sim(["video"] + args, script, stdin=b"", hold_stdin_s=5)


def config(record):
    """The configuration setters and their values, in order."""
    return [line[len("config "):] for line in record if line.startswith("config ")]


def value(record, prefix):
    found = [line[len(prefix):] for line in record if line.startswith(prefix)]
    if len(found) != 1:
        raise AssertionError(f"{len(found)} lines start with {prefix!r}: {record}")
    return found[0]


class OutCheckTest(unittest.TestCase):
    def test_missing_out_ends_with_status_2_before_the_platform_is_asked(self):
        cases = {
            "no --out": ["video"],
            "--out last": ["video", "--width", "1280", "--out"],
            "--out last, bad width too": ["video", "--width", "1", "--out"],
        }
        for name, args in cases.items():
            with self.subTest(name):
                r = ended(args[1:], ONE_DISPLAY)
                self.assertEqual(r.status, 2)
                self.assertEqual(r.stderr, "vx-capture: video needs --out <fifo>\n")
                self.assertEqual(r.record, [], "no content request before the check")

    def test_out_followed_by_an_option_name_takes_it_as_the_path(self):
        r = started(["--out", "--fps", "30"])
        self.assertEqual(r.status, 0)
        self.assertIn("setMinimumFrameInterval 1/30", config(r.record))


class OutIsNotANamedPipeTest(unittest.TestCase):
    """A mistyped --out must never damage what it names: anything but a named pipe (or
    a path that does not exist yet) is refused before the capture starts."""

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="vx-out-")
        self.addCleanup(shutil.rmtree, self.folder, True)

    def path(self, name):
        return os.path.join(self.folder, name)

    def make_file(self, name):
        with open(self.path(name), "w") as f:
            f.write("precious text\n")
        return self.path(name)

    def test_anything_but_a_named_pipe_is_refused_with_status_2(self):
        def directory():
            os.mkdir(self.path("folder"))
            return self.path("folder")

        def symlink_to_file():
            os.symlink(self.make_file("target.txt"), self.path("link"))
            return self.path("link")

        def symlink_to_device():
            os.symlink("/dev/null", self.path("null"))
            return self.path("null")

        cases = {
            "regular file": lambda: self.make_file("notes.txt"),
            "directory": directory,
            "symlink to a file": symlink_to_file,
            "device": lambda: "/dev/null",
            "symlink to a device": symlink_to_device,
        }
        for name, make in cases.items():
            with self.subTest(name):
                path = make()
                r = ended(["--out", path], ONE_DISPLAY + "frame 10 count=20\n")
                self.assertEqual(r.status, 2)
                self.assertEqual(r.stderr, f"vx-capture: --out {path} is not a named pipe\n")
                self.assertEqual(r.record, [], "refused before the platform is asked")
        for name in ("notes.txt", "target.txt"):
            with open(self.path(name)) as f:
                self.assertEqual(f.read(), "precious text\n")

    def test_a_path_that_can_never_be_written_is_refused_with_status_2(self):
        with open(self.path("notes.txt"), "w") as f:
            f.write("precious text\n")
        too_long = self.path("x" * 5000)
        cases = [
            ("empty", "", "vx-capture: --out is empty\n"),
            ("under a file", self.path("notes.txt/video.fifo"),
             f"vx-capture: --out {self.path('notes.txt/video.fifo')} cannot be reached: "
             "Not a directory\n"),
            ("too long", too_long,
             f"vx-capture: --out {too_long} cannot be reached: File name too long\n"),
        ]
        for name, path, message in cases:
            with self.subTest(name):
                r = ended(["--out", path], ONE_DISPLAY + "frame 10 count=20\n")
                self.assertEqual((r.status, r.stderr), (2, message))
                self.assertEqual(r.record, [], "refused before the platform is asked")

    def test_a_named_pipe_this_process_may_not_write_is_refused(self):
        """A 0600 pipe of another user: when we are root (who may write anything) the
        program runs as nobody, else the pipe is made read-only for ourselves. The
        refusal comes before the platform is asked, so no script is needed."""
        fifo = self.path("video.fifo")
        os.mkfifo(fifo, 0o600)
        as_user = []
        if os.geteuid() == 0:
            if not shutil.which("setpriv"):
                self.skipTest("root without setpriv cannot drop its privileges")
            os.chmod(self.folder, 0o755)
            as_user = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "--"]
        else:
            os.chmod(fifo, 0o400)
        # Standard input stays open: its end would stop the program on its own.
        p = subprocess.Popen(as_user + [SIM, "video", "--out", fifo], stdin=subprocess.PIPE,
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self.addCleanup(p.kill)
        status = p.wait(timeout=10)
        stderr = p.stderr.read().decode()
        p.stdin.close()
        p.stderr.close()
        self.assertEqual(
            (status, stderr),
            (2, f"vx-capture: --out {fifo} is not writable: Permission denied\n"))

    def test_a_named_pipe_through_a_symlink_and_a_missing_path_are_accepted(self):
        os.mkfifo(self.path("video.fifo"))
        os.symlink(self.path("video.fifo"), self.path("link"))
        for path in (self.path("link"), self.path("later.fifo")):
            with self.subTest(path):
                r = started(["--out", path])
                self.assertEqual((r.status, r.stderr), (0, "started\n"))

    def test_a_file_put_at_the_path_later_is_never_written(self):
        path = self.path("video.fifo")

        def put_a_file_there(_):
            self.make_file("video.fifo")
            time.sleep(0.6)  # several open attempts

        r = run_until_started(["video", "--out", path], ONE_DISPLAY + "frame 10 count=50\n",
                              during=put_a_file_there)
        self.assertEqual((r.status, r.stderr), (0, "started\n"))
        with open(path) as f:
            self.assertEqual(f.read(), "precious text\n")


class InvalidValueTest(unittest.TestCase):
    CASES = [
        (["--width", "1"], "invalid --width 1: must be between 2 and 2147483647"),
        (["--width", "0"], "invalid --width 0: must be between 2 and 2147483647"),
        (["--width", "-1920"], "invalid --width -1920: must be between 2 and 2147483647"),
        (["--width", "2147483648"], "invalid --width 2147483648: must be between 2 and 2147483647"),
        (["--height", "1"], "invalid --height 1: must be between 2 and 2147483647"),
        (["--height", "4294967296"], "invalid --height 4294967296: must be between 2 and 2147483647"),
        (["--fps", "2147483648"],
         "invalid --fps 2147483648: must be between -2147483648 and 2147483647"),
        (["--fps", "-2147483649"],
         "invalid --fps -2147483649: must be between -2147483648 and 2147483647"),
        (["--display", "-1"], "invalid --display -1: must be between 0 and 4294967295"),
        (["--display", "4294967296"], "invalid --display 4294967296: must be between 0 and 4294967295"),
        (["--bitrate", "0"], "invalid --bitrate 0: must be between 1 and 9223372036854775"),
        (["--bitrate", "-18000"], "invalid --bitrate -18000: must be between 1 and 9223372036854775"),
        (["--bitrate", "9223372036854776"],
         "invalid --bitrate 9223372036854776: must be between 1 and 9223372036854775"),
    ]

    def test_values_no_capture_can_take_end_with_status_2_before_the_platform_is_asked(self):
        for args, message in self.CASES:
            with self.subTest(" ".join(args)):
                r = ended(["--out", NO_FIFO] + args, ONE_DISPLAY)
                self.assertEqual(r.status, 2)
                self.assertEqual(r.stderr, "vx-capture: " + message + "\n")
                self.assertEqual(r.record, [])

    def test_the_extreme_values_that_fit_are_accepted(self):
        r = started(["--out", NO_FIFO, "--width", "2", "--height", "2", "--fps", "-2147483648",
                     "--display", "4294967295", "--bitrate", "9223372036854775"])
        self.assertEqual(r.status, 0)
        self.assertEqual(r.stderr, "started\n")
        self.assertIn("setWidth 2", config(r.record))
        self.assertIn("setMinimumFrameInterval 1/1", config(r.record))
        self.assertEqual(value(r.record, "session property AverageBitRate="), "9223372036854775000")

    def test_unparsable_values_fall_back_to_the_defaults_without_a_message(self):
        r = started(["--out", NO_FIFO, "--width", "12x", "--fps", "", "--bitrate", "1e3"])
        self.assertEqual(r.stderr, "started\n")
        self.assertEqual(config(r.record)[:2], ["setWidth 1920", "setHeight 1080"])
        self.assertIn("setMinimumFrameInterval 1/60", config(r.record))
        self.assertEqual(value(r.record, "session property AverageBitRate="), "18000000")


class ConfigurationTest(unittest.TestCase):
    def test_defaults_give_the_whole_configuration_in_order(self):
        r = started(["--out", NO_FIFO])
        self.assertEqual(r.status, 0)
        self.assertEqual(r.stderr, "started\n")
        self.assertEqual(config(r.record), [
            "setWidth 1920",
            "setHeight 1080",
            "setDestinationRect 0,0,1920,1080",
            "setBackgroundColor 0,0,0,1",
            "setPixelFormat 0x34323076",
            "setColorMatrix ITU_R_709_2",
            "setMinimumFrameInterval 1/60",
            "setQueueDepth 4",
            "setShowsCursor 1",
        ])
        self.assertEqual(value(r.record, "filter "), "display=0 excluded= windows=0")
        self.assertEqual(value(r.record, "session create "),
                         "width=1920 height=1080 codec=avc1 "
                         "sampleSpec=EnableLowLatencyRateControl,RequireHardwareAcceleratedVideoEncoder")
        self.assertEqual(value(r.record, "session property AverageBitRate="), "18000000")
        self.assertEqual(value(r.record, "session property ExpectedFrameRate="), "60")
        self.assertIn("stream delegate=1", r.record)
        self.assertEqual([l for l in r.record if l.startswith("addOutput")],
                         ["addOutput type=0 queue=vx-capture.video"])

    def test_the_order_of_requests(self):
        r = started(["--out", NO_FIFO])
        kinds = []
        for line in r.record:
            kind = line.split(" ")[0] if not line.startswith("session") else " ".join(line.split(" ")[:2])
            if kind not in kinds:
                kinds.append(kind)
        self.assertEqual(kinds[:4], ["content", "session create", "session property", "session prepare"])
        self.assertLess(kinds.index("addOutput"), kinds.index("startCapture"))
        self.assertLess(kinds.index("session prepare"), kinds.index("stream"))

    def test_the_display_is_fitted_and_centred_on_even_pixels(self):
        cases = [
            ("display 0 1440 900\n", "96,0,1728,1080"),
            ("display 0 2560 1080\n", "0,134,1920,810"),
            ("display 0 1512 982\n", "128,0,1662,1080"),
            ("display 0 1920 1080\n", "0,0,1920,1080"),
            ("display 0 3840 2160\n", "0,0,1920,1080"),
        ]
        for script, rect in cases:
            with self.subTest(script.strip()):
                r = started(["--out", NO_FIFO], script)
                self.assertEqual(value(r.record, "config setDestinationRect "), rect)

    def test_odd_sizes_are_lowered_to_even_for_capture_and_encoder(self):
        r = started(["--out", NO_FIFO, "--width", "1281", "--height", "721"])
        self.assertEqual(config(r.record)[:2], ["setWidth 1280", "setHeight 720"])
        self.assertTrue(value(r.record, "session create ").startswith("width=1280 height=720 "))
        self.assertEqual(value(r.record, "config setDestinationRect "), "0,0,1280,720")

    def test_a_frame_rate_of_1_or_below_means_1(self):
        for fps in ("0", "1", "-5"):
            with self.subTest(fps):
                r = started(["--out", NO_FIFO, "--fps", fps])
                self.assertIn("setMinimumFrameInterval 1/1", config(r.record))
                self.assertEqual(value(r.record, "session property ExpectedFrameRate="), "1")
                self.assertEqual(value(r.record, "session property MaxKeyFrameInterval="), "2")

    def test_the_display_is_chosen_by_identifier_with_the_first_as_fallback(self):
        two = "display 5 1920 1080\ndisplay 9 1280 1024\n"
        cases = [
            (["--display", "9"], two, "display=9"),
            (["--display", "42"], two, "display=5"),
            ([], two, "display=5"),
            ([], "display 5 1920 1080\ndisplay 0 1280 1024\n", "display=0"),
        ]
        for args, script, chosen in cases:
            with self.subTest(args=args, script=script):
                r = started(["--out", NO_FIFO] + args, script)
                self.assertEqual(value(r.record, "filter "), chosen + " excluded= windows=0")

    def test_the_rectangle_follows_the_chosen_display(self):
        r = started(["--out", NO_FIFO, "--display", "9"], "display 5 1920 1080\ndisplay 9 1280 1024\n")
        self.assertEqual(value(r.record, "config setDestinationRect "), "284,0,1350,1080")


class StartOutcomeTest(unittest.TestCase):
    def test_no_display_ends_with_status_3(self):
        r = ended(["--out", NO_FIFO], "")
        self.assertEqual(r.status, 3)
        self.assertEqual(r.stderr, "vx-capture: no display to capture\n")
        self.assertEqual(r.record, ["content excludingDesktopWindows=0 onScreenWindowsOnly=0"])

    def test_platform_errors_become_the_start_failure_line(self):
        cases = [
            ("content-error -3801 The user declined TCCs for application\n", 5,
             "The user declined TCCs for application"),
            ("content-error -3805 no content\n", 3, "no content"),
            (ONE_DISPLAY + "output-error 0 -3802 cannot add the output\n", 3, "cannot add the output"),
            (ONE_DISPLAY + "start-error -3801 declined\n", 5, "declined"),
            (ONE_DISPLAY + "start-error -3818 failed to start\n", 3, "failed to start"),
            (ONE_DISPLAY + "start-error 7\n", 3, ""),
        ]
        for script, status, description in cases:
            with self.subTest(script.splitlines()[-1]):
                r = ended(["--out", NO_FIFO], script)
                self.assertEqual(r.status, status)
                self.assertEqual(r.stderr, "vx-capture: could not start capture: " + description + "\n")

    def test_an_output_that_cannot_be_added_stops_the_start(self):
        r = ended(["--out", NO_FIFO], ONE_DISPLAY + "output-error 0 -3802 no\n")
        self.assertEqual(r.status, 3)
        self.assertNotIn("startCapture", r.record)

    def test_no_hardware_encoder_is_a_start_failure_after_one_line(self):
        r = ended(["--out", NO_FIFO], ONE_DISPLAY + "encoder-create -12908 -12915\n")
        self.assertEqual(r.status, 3)
        self.assertEqual(r.stderr,
                         "low-latency encoder unavailable (-12908), using the standard hardware encoder\n"
                         "vx-capture: could not start capture: no hardware H.264 encoder (-12915)\n")
        self.assertFalse([l for l in r.record if l.startswith(("stream", "addOutput", "startCapture"))])

    def test_the_standard_hardware_encoder_is_used_after_one_line(self):
        r = started(["--out", NO_FIFO], ONE_DISPLAY + "encoder-create -12908\n")
        self.assertEqual(r.stderr,
                         "low-latency encoder unavailable (-12908), using the standard hardware encoder\n"
                         "started\n")

    def test_rejected_encoder_properties_are_logged_and_the_start_goes_on(self):
        r = started(["--out", NO_FIFO],
                    ONE_DISPLAY + "encoder-property RealTime -12900\nencoder-property ProfileLevel -12901\n")
        lines = r.stderr.splitlines()
        self.assertEqual(sorted(lines), ["encoder ignored ProfileLevel (-12901)",
                                         "encoder ignored RealTime (-12900)", "started"])
        self.assertEqual(lines[-1], "started")

    def test_settings_the_encoder_cannot_prepare_for_fail_the_start(self):
        cases = [
            ("encoder-prepare -12902 width 16386 is above 16384\n", "width 16386 is above 16384"),
            ("encoder-prepare -12903\n", "the encoder refused its settings (-12903)"),
        ]
        for script, description in cases:
            with self.subTest(description):
                r = ended(["--out", NO_FIFO], ONE_DISPLAY + script)
                self.assertEqual(r.status, 3)
                self.assertEqual(r.stderr, "vx-capture: could not start capture: " + description + "\n")
                self.assertIn("session prepare", r.record)
                self.assertFalse([l for l in r.record if l.startswith(("stream", "addOutput", "startCapture"))])

    def test_a_stream_that_stops_ends_with_status_3(self):
        r = ended(["--out", NO_FIFO],
                  ONE_DISPLAY + "frame 10 count=20\nstop-after 300 -3821 stream died\n")
        self.assertEqual(r.status, 3)
        self.assertEqual(r.stderr, "started\nvx-capture: capture stopped: stream died\n")

    def test_a_stop_with_an_empty_description(self):
        r = ended(["--out", NO_FIFO], ONE_DISPLAY + "stop-after 100 -3821\n")
        self.assertEqual(r.status, 3)
        self.assertEqual(r.stderr, "started\nvx-capture: capture stopped: \n")


if __name__ == "__main__":
    unittest.main()
