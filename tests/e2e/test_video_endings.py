"""Video mode end to end: how a capture ends when there is no X server, when the X server
goes away while it runs, and when it accepts the connection and never answers."""
import os
import signal
import socket
import threading
import time
import unittest

from video_capture import VideoCapture, access_units, run_to_end
from virtual_display import VirtualDisplay, require_tools


TOOLS = ("Xvfb",)


def unused_display():
    """A display number no local X server listens on."""
    for number in range(420, 520):
        if not os.path.exists(f"/tmp/.X11-unix/X{number}") and not os.path.exists(f"/tmp/.X{number}-lock"):
            return f":{number}"
    raise unittest.SkipTest("no free display number")


class NoServer(unittest.TestCase):
    def test_no_x_server_is_status_3_with_the_display_named(self):
        display = unused_display()
        status, stderr = run_to_end(dict(os.environ, DISPLAY=display))
        self.assertEqual(status, 3)
        self.assertEqual(stderr, f'vx-capture: could not start capture: cannot open X display "{display}"\n'.encode())

    def test_no_display_variable_is_status_3(self):
        environment = {key: value for key, value in os.environ.items() if key != "DISPLAY"}
        status, stderr = run_to_end(environment)
        self.assertEqual(status, 3)
        self.assertEqual(stderr, b"vx-capture: could not start capture: cannot open X display (DISPLAY is not set)\n")


@require_tools(*TOOLS)
class BitRateBeyondTheEncoder(unittest.TestCase):
    def test_every_rate_above_the_encoders_limit_fails_the_start_with_status_3(self):
        # Just above the limit; just above what x264 holds in an int; the largest the option takes.
        with VirtualDisplay(320, 240) as display:
            for kilobits in ("2000001", "2147483648", "9223372036854775"):
                with self.subTest(kilobits=kilobits):
                    status, stderr = run_to_end(display.env(), "--width", "320", "--height", "240",
                                                "--bitrate", kilobits)
                    self.assertEqual(status, 3)
                    self.assertEqual(stderr, b"vx-capture: could not start capture: the H.264 encoder "
                                             b"takes at most 2000000 kbit/s, not " + kilobits.encode() + b"\n")


@require_tools(*TOOLS)
class ServerGoesAway(unittest.TestCase):
    def test_killed_x_server_stops_the_capture_with_status_3(self):
        with VirtualDisplay(1280, 720) as display:
            display.start_motion("bar")
            name = display.display
            with VideoCapture(display.env(), "--width", "1280", "--height", "720") as capture:
                capture.wait_started()
                self.assertTrue(access_units(capture.read(1.0)), "no frames before the server went away")
                display.kill_server()
                capture.process.wait(15)
                status, stderr = capture.process.returncode, capture.process.stderr.read()
        self.assertEqual(status, 3)
        self.assertEqual(stderr, f'vx-capture: capture stopped: lost the connection to X display "{name}"\n'.encode())


class SilentSocket:
    """A listener on a private display socket. Each connection is accepted; the first
    `forwarded` ones are relayed to a real X server's socket, every later one is held
    open and never answered."""

    def __init__(self, forward_to=None, forwarded=0):
        self.display = unused_display()
        self.path = f"/tmp/.X11-unix/X{self.display[1:]}"
        self.forward_to = forward_to
        self.forwarded = forwarded
        self.held = []
        self.listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        os.makedirs("/tmp/.X11-unix", exist_ok=True)
        self.listener.bind(self.path)
        self.listener.listen(8)
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            self.held.append(client)
            if self.forwarded > 0 and self.forward_to:
                self.forwarded -= 1
                server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                server.connect(self.forward_to)
                self.held.append(server)
                for source, target in ((client, server), (server, client)):
                    threading.Thread(target=_relay, args=(source, target), daemon=True).start()

    def close(self):
        self.listener.close()
        for held in self.held:
            held.close()
        os.unlink(self.path)


def _relay(source, target):
    try:
        while data := source.recv(65536):
            target.sendall(data)
        target.shutdown(socket.SHUT_WR)
    except OSError:
        pass


@require_tools(*TOOLS)
class SilentServer(unittest.TestCase):
    """Every start step that waits on the X server gives up after a few seconds with one line."""

    def assert_fails_in_time(self, display):
        began = time.monotonic()
        status, stderr = run_to_end(dict(os.environ, DISPLAY=display), timeout=30)
        self.assertLess(time.monotonic() - began, 15)
        self.assertEqual(status, 3)
        self.assertEqual(stderr, f'vx-capture: could not start capture: X display "{display}" '
                                 f'did not answer within 5 s\n'.encode())

    def test_a_socket_that_never_answers(self):
        silent = SilentSocket()
        try:
            self.assert_fails_in_time(silent.display)
        finally:
            silent.close()

    def test_a_server_that_answers_the_monitor_list_then_falls_silent(self):
        with VirtualDisplay(640, 480) as display:
            silent = SilentSocket(f"/tmp/.X11-unix/X{display.display[1:]}", forwarded=1)
            try:
                self.assert_fails_in_time(silent.display)
            finally:
                silent.close()

    def test_a_stopped_x_server(self):
        with VirtualDisplay(640, 480) as display:
            os.kill(display.server.pid, signal.SIGSTOP)
            try:
                self.assert_fails_in_time(display.display)
            finally:
                os.kill(display.server.pid, signal.SIGCONT)


if __name__ == "__main__":
    unittest.main()
