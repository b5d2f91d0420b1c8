"""Video on a Wayland desktop end to end: the real binary captures a private headless sway
through the desktop portal and PipeWire (wayland_desktop.py); what comes through the pipe is
decoded with ffprobe / ffmpeg. Moving content, a still screen, readers that attach late (no
reader costs little; the late reader sees the screen as it is), a chooser that declines, a grant
restored without asking, the compositor, the session manager or PipeWire going away, and audio
mode asking nobody.

These tests fail (not skip) on a machine without the desktop's packages: scripts/install-deps
installs them.
"""
import os
import signal
import stat
import subprocess
import tempfile
import time
import unittest

from video_capture import (BINARY, IDR, PPS, SPS, VideoCapture, access_units, decode_errors, decode_rgb,
                           is_key_frame, join, join_from_key_frame, nal_type, nal_units, near, pixel,
                           probe_frames, run_to_end)
from wayland_desktop import WaylandDesktop

DECLINED = b"vx-capture: could not start capture: screen capture was not allowed"

desktop = None


def setUpModule():
    global desktop
    desktop = WaylandDesktop().__enter__()


def tearDownModule():
    if desktop:
        desktop.stop()


def picture_hashes(stream):
    """A hash of each decoded picture."""
    result = subprocess.run(["ffmpeg", "-v", "error", "-f", "h264", "-i", "pipe:0", "-f", "framemd5", "-"],
                            input=stream, capture_output=True, timeout=120)
    return [line.split(",")[-1].strip() for line in result.stdout.decode().splitlines()
            if line and not line.startswith("#")]


def last_key_picture_luma(units):
    """The luma plane of the picture of the last key frame among the access units."""
    last = max(i for i, unit in enumerate(units) if is_key_frame(unit))
    result = subprocess.run(["ffmpeg", "-v", "error", "-f", "h264", "-i", "pipe:0", "-frames:v", "1",
                             "-f", "rawvideo", "-pix_fmt", "gray", "-"],
                            input=join(units[last:]), capture_output=True, timeout=120)
    return result.stdout


def gray_pictures(stream, width, height):
    """Every decoded picture's luma plane, in order, one per picture decoded (none repeated
    to fill a gap)."""
    result = subprocess.run(["ffmpeg", "-v", "error", "-f", "h264", "-i", "pipe:0", "-fps_mode",
                             "passthrough", "-f", "rawvideo", "-pix_fmt", "gray", "-"],
                            input=stream, capture_output=True, timeout=120)
    size = width * height
    return [result.stdout[i:i + size] for i in range(0, len(result.stdout) - size + 1, size)]


def split_at(units, marks):
    """The access units in groups: those that begin before the first byte offset in marks,
    those that begin before the second, and so on; the rest last."""
    groups, offset = [[] for _ in range(len(marks) + 1)], 0
    for unit in units:
        groups[sum(offset >= mark for mark in marks)].append(unit)
        offset += len(join([unit]))
    return groups


def cpu_seconds(pid):
    """User plus system time the process has used so far."""
    with open(f"/proc/{pid}/stat") as stat_file:
        fields = stat_file.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def first_types(data, count=3):
    return [nal_type(unit) for unit in nal_units(data)[:count]]


def has_idr(data):
    return IDR in [nal_type(unit) for unit in nal_units(data)[:8]]


class StateHome:
    """A folder of its own for restore tokens, so each case starts without a grant."""

    def __enter__(self):
        self.path = tempfile.mkdtemp(prefix="vx-state-")
        return self.path

    def __exit__(self, *exc):
        subprocess.run(["rm", "-rf", self.path])
        return False


class MovingContent(unittest.TestCase):
    CASES = [
        # options, decoded size
        ([], (1920, 1080)),
        (["--width", "1281", "--height", "721"], (1280, 720)),
    ]

    def test_decodes_completely_at_the_output_size(self):
        desktop.start_terminal()
        try:
            for options, size in self.CASES:
                with self.subTest(options=options), StateHome() as state:
                    with VideoCapture(desktop.env(state), *options) as capture:
                        capture.wait_started()
                        units = access_units(capture.read(seconds=2.5))
                        status, rest = capture.finish()
                    self.assertEqual((status, rest), (0, b""))

                    self.assertTrue(units, "nothing came through the pipe")
                    self.assertTrue(is_key_frame(units[0]),
                                    f"the first unit holds {[nal_type(n) for n in units[0]]}, not SPS, PPS, IDR")
                    stream = join(units)
                    self.assertEqual(decode_errors(stream), "")
                    facts, pictures = probe_frames(stream)
                    self.assertEqual((facts.get("width"), facts.get("height")), size)
                    self.assertEqual(pictures[0], "I")
                    # The scrolling itself comes through: many different pictures, which
                    # repeats of one picture could not give (also on a slow machine).
                    self.assertGreaterEqual(len(set(picture_hashes(stream))), 12)
                    # The terminal's text shows: the picture is not one flat colour.
                    self.assertGreater(len(set(last_key_picture_luma(units)[::97])), 2, "the picture is flat")
        finally:
            desktop.kill("foot")


class StillScreen(unittest.TestCase):
    def test_gives_about_ten_decodable_units_a_second(self):
        with StateHome() as state, VideoCapture(desktop.env(state), "--width", "1280",
                                                "--height", "720") as capture:
            capture.wait_started()
            time.sleep(0.3)  # whatever the compositor still drew after starting
            started = time.monotonic()
            units = access_units(capture.read(seconds=3))
            elapsed = time.monotonic() - started
            status, _ = capture.finish()
        self.assertEqual(status, 0)
        rate = len(units) / elapsed
        self.assertGreaterEqual(rate, 3, f"{len(units)} units in {elapsed:.1f} s")
        self.assertLessEqual(rate, 15, f"{len(units)} units in {elapsed:.1f} s")
        self.assertEqual(decode_errors(join_from_key_frame(units)), "")


class ScreenChangesSize(unittest.TestCase):
    """The monitor goes from 1920x1080 to 1280x1024 while a reader reads: the stream's
    next pictures show the new screen fitted into the same size, with black bars left and
    right, from a key frame on; the picture is whole again (no bars) after going back."""

    def test_the_picture_follows_the_screen_with_bars_and_a_key_frame(self):
        desktop.start_terminal(background="808080")  # grey: bars are told from the screen
        try:
            with StateHome() as state, VideoCapture(desktop.env(state), "--width", "640",
                                                    "--height", "360") as capture:
                capture.wait_started()
                # One stream read on across the changes: a unit lost between reads would
                # leave a gap that the decoder hides by repeating pictures.
                data = capture.read(seconds=1)
                marks = [len(data)]
                desktop.set_mode(1280, 1024)
                data += capture.read(seconds=2)
                marks.append(len(data))
                desktop.set_mode(1920, 1080)
                data += capture.read(seconds=2)
                status, rest = capture.finish()
        finally:
            desktop.kill("foot")
            desktop.set_mode(1920, 1080)
        self.assertEqual((status, rest), (0, b""))
        before, after, back = split_at(access_units(data), marks)
        self.assertEqual(decode_errors(join(before + after + back)), "")
        facts, _ = probe_frames(join(before + after + back))
        self.assertEqual((facts.get("width"), facts.get("height")), (640, 360))
        # 1280x1024 into 640x360: 450x360 at x 95, black (luma 16) on both sides.
        for name, upto, units, barred in (("before", before, before, False),
                                          ("resized", before + after, after, True),
                                          ("back", before + after + back, back, False)):
            with self.subTest(name):
                luma = last_key_picture_luma(upto)
                self.assertEqual(len(luma), 640 * 360)
                sides = [luma[y * 640 + x] for y in range(20, 340, 40) for x in (10, 80, 560, 630)]
                middle = [luma[y * 640 + x] for y in range(20, 340, 40) for x in range(120, 520, 40)]
                if barred:
                    self.assertTrue(all(v <= 18 for v in sides), sides)
                else:
                    self.assertTrue(all(v > 40 for v in sides), sides)
                self.assertGreater(sum(v > 40 for v in middle), len(middle) // 2, "the screen is not shown")
        # The first picture of each new size is a key frame.
        units = before + after + back
        pictures = gray_pictures(join(units), 640, 360)
        self.assertEqual(len(pictures), len(units))
        barred = [all(p[y * 640 + x] <= 18 for y in range(20, 340, 40) for x in (10, 630)) for p in pictures]
        changes = [i for i in range(1, len(units)) if barred[i] != barred[i - 1]]
        self.assertEqual(len(changes), 2, barred)
        for i in changes:
            self.assertTrue(is_key_frame(units[i]), f"picture {i}, the first of a new size, is no key frame")


    def test_a_change_of_size_while_nobody_reads_shows_in_the_next_readers_first_picture(self):
        # Without a reader the newest change keeps its buffer; the new size takes every
        # buffer back, the held one too, and the next reader sees the new screen.
        desktop.start_terminal(background="808080")
        try:
            with StateHome() as state, VideoCapture(desktop.env(state), "--width", "640",
                                                    "--height", "360") as capture:
                capture.wait_started()
                capture.read(3.0, enough=has_idr)
                capture.close_reader()
                time.sleep(0.5)  # the scrolling terminal's changes are held, not converted
                desktop.set_mode(1280, 1024)
                time.sleep(0.5)
                capture.open_reader()
                data = capture.read(3.0, enough=has_idr)
                data += capture.read(0.3)
                status, _ = capture.finish()
        finally:
            desktop.kill("foot")
            desktop.set_mode(1920, 1080)
        self.assertEqual(status, 0)
        self.assertEqual(first_types(data), [SPS, PPS, IDR])
        self.assertEqual(decode_errors(data), "")
        first = gray_pictures(data, 640, 360)[0]
        sides = [first[y * 640 + x] for y in range(20, 340, 40) for x in (10, 630)]
        self.assertTrue(all(v <= 18 for v in sides), sides)


class LateReaders(unittest.TestCase):
    def test_no_reader_costs_little_and_a_late_reader_gets_the_screen_at_once(self):
        desktop.start_terminal()
        try:
            with StateHome() as state, VideoCapture(desktop.env(state), "--width", "1280",
                                                    "--height", "720") as capture:
                capture.wait_started()
                time.sleep(0.5)
                pid = capture.process.pid
                before = cpu_seconds(pid)
                time.sleep(2)
                unread = cpu_seconds(pid) - before

                before = cpu_seconds(pid)
                attached = time.monotonic()
                data = capture.read(3.0, enough=has_idr)
                waited = time.monotonic() - attached
                data += capture.read(2.0 - waited)
                read = cpu_seconds(pid) - before
                status, rest = capture.finish()
        finally:
            desktop.kill("foot")
        self.assertEqual((status, rest), (0, b""))
        self.assertEqual(first_types(data), [SPS, PPS, IDR], f"the stream begins with {first_types(data, 6)}")
        self.assertLess(waited, 1.5, "the key frame came late")
        self.assertEqual(decode_errors(data), "")
        units = access_units(data)
        self.assertGreater(len(set(last_key_picture_luma(units[:1])[::97])), 2, "the picture is flat")
        # Without a reader the moving screen is neither converted nor encoded (a few per
        # cent of the cost with one); converting alone would cost about a quarter.
        self.assertLess(unread, read / 8, f"{unread:.2f} s of CPU unread, {read:.2f} s read")

    def test_a_change_nobody_watched_shows_in_the_first_picture(self):
        flag = os.path.join(tempfile.mkdtemp(prefix="vx-flag-"), "change")
        try:
            with StateHome() as state, VideoCapture(desktop.env(state), "--width", "640",
                                                    "--height", "360") as capture:
                capture.wait_started()
                # The terminal comes after the start, so the screen cast sees it drawn
                # (a still screen may bring no first frame). Its background colour is set
                # by OSC 11, blue until the flag appears, then grey.
                desktop.start_terminal(
                    "printf '\\033[?25l\\033]11;#204080\\007'; "
                    f"while [ ! -e {flag} ]; do sleep 0.05; done; "
                    "printf '\\033]11;#c0c0c0\\007'; sleep 1000")
                before = capture.read(3.0, enough=has_idr)
                before += capture.read(0.3)
                capture.close_reader()
                time.sleep(0.5)
                open(flag, "w").close()
                time.sleep(1.0)  # the screen is still again
                capture.open_reader()
                data = capture.read(3.0, enough=has_idr)
                data += capture.read(0.2)
                status, _ = capture.finish()
        finally:
            desktop.kill("foot")
            subprocess.run(["rm", "-rf", os.path.dirname(flag)])
        self.assertEqual(status, 0)
        self.assertEqual(first_types(data), [SPS, PPS, IDR])
        earlier = decode_rgb(before, 640, 360)
        self.assertTrue(earlier and near(pixel(earlier[-1], 640, 320, 120), (32, 64, 128)),
                        f"before the change the screen shows {earlier and pixel(earlier[-1], 640, 320, 120)}")
        frames = decode_rgb(data, 640, 360)
        self.assertTrue(frames, "no picture decoded")
        self.assertTrue(near(pixel(frames[0], 640, 320, 120), (192, 192, 192)),
                        f"the first picture shows {pixel(frames[0], 640, 320, 120)}")


class Grants(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        desktop.start_terminal()  # frames to read after a restored start

    @classmethod
    def tearDownClass(cls):
        desktop.kill("foot")

    def tearDown(self):
        desktop.refuse(False)

    def test_a_declined_choice_ends_with_status_5_and_its_line(self):
        desktop.refuse(True)
        calls = desktop.chooser_calls()
        with StateHome() as state:
            status, error = run_to_end(desktop.env(state))
            self.assertFalse(os.path.exists(os.path.join(state, "vx-capture", "restore-token")))
        self.assertEqual(status, 5, error)
        self.assertTrue(error.startswith(DECLINED), error)
        self.assertEqual(error.count(b"\n"), 1, error)
        self.assertEqual(desktop.chooser_calls(), calls + 1)

    def test_the_second_start_restores_the_grant_without_asking(self):
        with StateHome() as state:
            calls = desktop.chooser_calls()
            with VideoCapture(desktop.env(state)) as capture:
                capture.wait_started()
                self.assertEqual(capture.finish()[0], 0)
            self.assertEqual(desktop.chooser_calls(), calls + 1)
            folder = os.path.join(state, "vx-capture")
            token = os.path.join(folder, "restore-token")
            self.assertEqual(stat.S_IMODE(os.stat(folder).st_mode), 0o700)
            self.assertEqual(stat.S_IMODE(os.stat(token).st_mode), 0o600)

            # The chooser would decline now: only the restored grant can start the capture.
            desktop.refuse(True)
            with VideoCapture(desktop.env(state)) as capture:
                capture.wait_started()
                self.assertTrue(capture.read(seconds=1), "nothing came through the pipe")
                self.assertEqual(capture.finish()[0], 0)
            self.assertEqual(desktop.chooser_calls(), calls + 1)
            self.assertTrue(os.path.exists(token), "the restored grant's token is kept for the next start")

    def test_a_token_the_portal_rejects_is_dropped_and_the_user_asked(self):
        with StateHome() as state:
            folder = os.path.join(state, "vx-capture")
            os.makedirs(folder, mode=0o700)
            with open(os.path.join(folder, "restore-token"), "w") as kept:
                kept.write("not-a-grant\n")  # no UUID: the portal refuses the call
            calls = desktop.chooser_calls()
            with VideoCapture(desktop.env(state)) as capture:
                capture.wait_started()
                self.assertEqual(capture.finish()[0], 0)
            self.assertEqual(desktop.chooser_calls(), calls + 1)
            with open(os.path.join(folder, "restore-token")) as kept:
                self.assertNotEqual(kept.read(), "not-a-grant\n")


class PortalSilence(unittest.TestCase):
    def test_a_portal_that_does_not_answer_fails_the_start_with_status_3(self):
        # A stored grant survives: the portal did not reject it, it said nothing.
        token = "d1818748-9818-4cf2-977a-f147d86decfd\n"
        desktop.signal("xdg-desktop-portal", signal.SIGSTOP)
        try:
            with StateHome() as state:
                os.makedirs(os.path.join(state, "vx-capture"), 0o700)
                token_file = os.path.join(state, "vx-capture", "restore-token")
                with open(token_file, "w") as out:
                    out.write(token)
                started = time.monotonic()
                status, error = run_to_end(desktop.env(state))
                elapsed = time.monotonic() - started
                with open(token_file) as kept:
                    self.assertEqual(kept.read(), token)
        finally:
            desktop.signal("xdg-desktop-portal", signal.SIGCONT)
        self.assertEqual(status, 3, error)
        self.assertRegex(error, rb"^vx-capture: could not start capture: the desktop portal did not answer "
                                rb".* within \d+ s\n$")
        self.assertLess(elapsed, 30)


class AudioMode(unittest.TestCase):
    def test_runs_without_asking_for_the_screen(self):
        from sound_server import SoundServer
        desktop.refuse(True)  # asking would fail the start
        calls = desktop.chooser_calls()
        try:
            with SoundServer() as server, StateHome() as state:
                env = server.env(base=desktop.env(state))
                process = subprocess.Popen([BINARY, "audio"], env=env, stdin=subprocess.PIPE,
                                           stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                try:
                    line = process.stderr.readline()
                    pcm = process.stdout.read(48000 * 4 // 4)  # a quarter of a second
                finally:
                    process.stdin.close()
                    process.wait(10)
                    process.stdout.close()
                    process.stderr.close()
        finally:
            desktop.refuse(False)
        self.assertEqual(line, b"started\n")
        self.assertEqual(len(pcm), 48000)
        self.assertEqual(desktop.chooser_calls(), calls)


class CompositorGoesAway(unittest.TestCase):
    """Last: it ends the shared desktop, and checks that nothing of it is left."""

    def test_ends_with_status_3_and_capture_stopped(self):
        global desktop
        pids = desktop.pids()
        try:
            with StateHome() as state, VideoCapture(desktop.env(state)) as capture:
                capture.wait_started()
                capture.read(seconds=0.5)
                desktop.kill("sway")
                try:
                    capture.process.wait(10)
                except subprocess.TimeoutExpired:
                    self.fail("vx-capture went on after the compositor ended")
                error = capture.process.stderr.read()
                self.assertEqual(capture.process.returncode, 3, error)
                self.assertTrue(error.startswith(b"vx-capture: capture stopped: "), error)
                self.assertEqual(error.count(b"\n"), 1, error)
        finally:
            folder = desktop.folder
            desktop.stop()
            desktop = None
        for pid in pids:
            with self.assertRaises(ProcessLookupError, msg=f"process group {pid} is still there"):
                os.killpg(pid, 0)
        self.assertFalse(os.path.exists(folder))


class PipeWireEndings(unittest.TestCase):
    """On desktops of their own: each case breaks its desktop."""

    def test_no_session_manager_is_a_start_failure_after_a_deadline(self):
        with WaylandDesktop() as own, StateHome() as state:
            own.kill("wireplumber")  # nobody links the stream to the screen cast
            started = time.monotonic()
            status, error = run_to_end(own.env(state))
            elapsed = time.monotonic() - started
        self.assertEqual(status, 3, error)
        self.assertTrue(error.startswith(b"vx-capture: could not start capture: the screen cast did "
                                         b"not start streaming"), error)
        self.assertLess(elapsed, 15)

    def test_losing_pipewire_ends_with_status_3_and_capture_stopped(self):
        with WaylandDesktop() as own, StateHome() as state, VideoCapture(own.env(state)) as capture:
            capture.wait_started()
            own.kill("pipewire")
            try:
                capture.process.wait(10)
            except subprocess.TimeoutExpired:
                self.fail("vx-capture went on after PipeWire ended")
            error = capture.process.stderr.read()
        self.assertEqual(capture.process.returncode, 3, error)
        self.assertTrue(error.startswith(b"vx-capture: capture stopped: "), error)
        self.assertEqual(error.count(b"\n"), 1, error)


# unittest runs classes in the order of their names; the shared desktop must end last.
def load_tests(loader, tests, pattern):
    suite = unittest.TestSuite()
    for case in (MovingContent, StillScreen, ScreenChangesSize, LateReaders, Grants, PortalSilence, AudioMode, PipeWireEndings, CompositorGoesAway):
        suite.addTests(loader.loadTestsFromTestCase(case))
    return suite
