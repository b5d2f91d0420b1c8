"""Audio mode's session: options, the display, the left-out applications, the
stream configuration and outputs, and how each failure ends the process."""
import unittest

from vxsim import run_to_its_end, run_until_started

ONE_DISPLAY = "display 5 1920 1080\n"
SENDER = "com.vxcapture.sender"
NO_DISPLAY_LINE = "vx-capture: no display to attach the capture to\n"


def config_lines(rate=48000, channels=2):
    return [
        "config setCapturesAudio 1",
        "config setExcludesCurrentProcessAudio 1",
        f"config setSampleRate {rate}",
        f"config setChannelCount {channels}",
        "config setWidth 2",
        "config setHeight 2",
        "config setMinimumFrameInterval 1/1",
    ]


def started_record(args, script):
    """Runs until the capture has started, then ends it through standard input."""
    return run_until_started(["audio"] + args, script)


class SessionTest(unittest.TestCase):
    def test_requests_in_order_with_the_default_options(self):
        r = started_record([], "display 7 800 600\ndisplay 3 1920 1080\napp org.other.player\n")
        self.assertEqual(r.status, 0)
        self.assertEqual(r.stderr, "started\n")
        self.assertEqual(r.record, [
            "content excludingDesktopWindows=0 onScreenWindowsOnly=0",
            "filter display=7 excluded= windows=0",
        ] + config_lines() + [
            "stream delegate=1",
            "addOutput type=1 queue=vx-capture.audio",
            "addOutput type=0 queue=vx-capture.screen",
            "startCapture",
        ])

    def test_options_reach_the_configuration(self):
        cases = {
            "both given": (["--channels", "6", "--rate", "44100"], 44100, 6),
            "first occurrence wins": (["--channels", "1", "--channels", "6"], 48000, 1),
            "unparsable values give the defaults": (["--rate", "44.1k", "--channels", "2.0"], 48000, 2),
            "largest accepted values": (["--rate", "2147483647", "--channels", "64"], 2147483647, 64),
            "smallest accepted values": (["--rate", "1", "--channels", "0"], 1, 0),
        }
        for name, (args, rate, channels) in cases.items():
            with self.subTest(name):
                r = started_record(args, ONE_DISPLAY)
                self.assertEqual(r.stderr, "started\n")
                configured = [line for line in r.record if line.startswith("config ")]
                self.assertEqual(configured, config_lines(rate, channels))

    def test_every_application_of_the_sender_is_left_out(self):
        cases = {
            "two of them, among others": (
                [SENDER, "org.other.player", SENDER + ".helper", "COM.VXCAPTURE.SENDER", SENDER],
                f"excluded={SENDER},{SENDER}"),
            "one": ([SENDER], f"excluded={SENDER}"),
            "none": (["org.other.player", "com.vxcapture"], "excluded="),
            "no applications at all": ([], "excluded="),
        }
        for name, (apps, excluded) in cases.items():
            with self.subTest(name):
                script = ONE_DISPLAY + "".join(f"app {a}\n" for a in apps)
                r = started_record([], script)
                self.assertEqual(r.status, 0)
                self.assertEqual(r.stderr, "started\n")
                self.assertIn(f"filter display=5 {excluded} windows=0", r.record)

    def test_no_display_ends_with_status_3_before_any_stream(self):
        r = run_to_its_end(["audio"], "app org.other.player\n"
                           "audio 0 format=lpcm flags=33 bits=32 channels=1 frames=1 buffer=0.5\n")
        self.assertEqual(r.status, 3)
        self.assertEqual(r.stderr, NO_DISPLAY_LINE)
        self.assertEqual(r.stdout, b"")
        self.assertEqual(r.record, ["content excludingDesktopWindows=0 onScreenWindowsOnly=0"])

    def test_a_failed_audio_registration_registers_nothing_else(self):
        cases = [
            ("output-error 1 -3805 The audio output could not be added.", 3,
             "vx-capture: could not start capture: The audio output could not be added.\n"),
            ("output-error 1 -3801 The user declined capture.", 5,
             "vx-capture: could not start capture: The user declined capture.\n"),
            # Both would fail: the first failure ends the start.
            ("output-error 1 -3805 audio refused\noutput-error 0 -3806 screen refused", 3,
             "vx-capture: could not start capture: audio refused\n"),
        ]
        for line, status, stderr in cases:
            with self.subTest(line):
                r = run_to_its_end(["audio"], ONE_DISPLAY + line + "\n")
                self.assertEqual(r.status, status)
                self.assertEqual(r.stderr, stderr)
                self.assertEqual(r.stdout, b"")
                self.assertEqual(r.record[-1], "addOutput type=1 queue=vx-capture.audio")
                self.assertNotIn("addOutput type=0 queue=vx-capture.screen", r.record)
                self.assertNotIn("startCapture", r.record)

    def test_a_failed_screen_registration_starts_nothing(self):
        r = run_to_its_end(["audio"], ONE_DISPLAY + "output-error 0 -3806 screen refused\n")
        self.assertEqual(r.status, 3)
        self.assertEqual(r.stderr, "vx-capture: could not start capture: screen refused\n")
        self.assertEqual(r.record[-2:], ["addOutput type=1 queue=vx-capture.audio",
                                         "addOutput type=0 queue=vx-capture.screen"])

    def test_a_stream_stop_ends_with_status_3(self):
        # Audio keeps arriving when the stream stops; the stop still ends the process.
        audio = "".join("audio 20 format=lpcm flags=33 bits=32 channels=1 frames=2 buffer=0.5,0.5\n"
                        for _ in range(200))
        r = run_to_its_end(["audio"], ONE_DISPLAY + audio + "stop-after 300 -3821 The sound server went away.\n",
                           within=8)
        self.assertEqual(r.status, 3)
        self.assertEqual(r.stderr, "started\nvx-capture: capture stopped: The sound server went away.\n")
        self.assertGreater(len(r.stdout), 0)
        self.assertEqual(len(r.stdout) % 8, 0, "only whole buffers reach standard output")


class InvalidOptionTest(unittest.TestCase):
    def test_out_of_range_values_are_rejected_before_the_platform_is_asked(self):
        cases = {
            "negative channels": (["--channels", "-1"], "invalid --channels -1: must be between 0 and 64"),
            "too many channels": (["--channels", "65"], "invalid --channels 65: must be between 0 and 64"),
            "channels at the 64-bit limit": (["--channels", "9223372036854775807"],
                                             "invalid --channels 9223372036854775807: must be between 0 and 64"),
            "lowest channels": (["--channels", "-9223372036854775808"],
                                "invalid --channels -9223372036854775808: must be between 0 and 64"),
            "rate 0": (["--rate", "0"], "invalid --rate 0: must be between 1 and 2147483647"),
            "negative rate": (["--rate", "-48000"], "invalid --rate -48000: must be between 1 and 2147483647"),
            "rate beyond 32 bits": (["--rate", "2147483648"],
                                    "invalid --rate 2147483648: must be between 1 and 2147483647"),
            "channels are checked first": (["--rate", "0", "--channels", "-2"],
                                           "invalid --channels -2: must be between 0 and 64"),
        }
        for name, (args, message) in cases.items():
            with self.subTest(name):
                r = run_to_its_end(["audio"] + args, ONE_DISPLAY)
                self.assertEqual(r.status, 2)
                self.assertEqual(r.stderr, "vx-capture: " + message + "\n")
                self.assertEqual(r.stdout, b"")
                self.assertEqual(r.record, [], "the platform must not be asked anything")

    def test_video_options_are_not_checked_in_audio_mode(self):
        r = started_record(["--fps", "-5", "--width", "0"], ONE_DISPLAY)
        self.assertEqual(r.stderr, "started\n")


if __name__ == "__main__":
    unittest.main()
