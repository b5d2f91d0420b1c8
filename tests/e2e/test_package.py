"""What ships: `cmake --install` and the Debian package made by CPack from the same build. The
package's dependencies are those dpkg-shlibdeps read off the binary; the binary installed from
it runs (usage line, a short audio and video capture on private servers); the manual page
carries the build's version and renders without warnings."""
import glob
import gzip
import os
import re
import subprocess
import tempfile
import threading
import unittest

from sound_server import SoundServer
from virtual_display import VirtualDisplay, require_tools

BUILD_DIR = os.path.abspath(os.environ.get("VX_BUILD_DIR",
                                           os.path.join(os.path.dirname(__file__), "..", "..", "build")))
USAGE = "vx-capture: usage: vx-capture audio|video [options], see main\n"


def project_version():
    with open(os.path.join(BUILD_DIR, "CMakeCache.txt")) as cache:
        for line in cache:
            if line.startswith("CMAKE_PROJECT_VERSION:"):
                return line.strip().split("=", 1)[1]
    raise AssertionError("no project version in the build's cache")


def man_text(path):
    opener = gzip.open if path.endswith(".gz") else open
    with opener(path, "rt") as f:
        return f.read()


def check_manual_page(test, path):
    text = man_text(path)
    test.assertIn(project_version(), text)
    for must in ("started", "vx\\-capture: usage: vx\\-capture audio|video [options], see main",
                 "could not start capture", "allow", ".SH EXIT STATUS", ".SH ENVIRONMENT", "DISPLAY"):
        test.assertIn(must, text)
    plain = path
    if path.endswith(".gz"):
        plain = path[:-3]
        with open(plain, "w") as f:
            f.write(text)
    groff = subprocess.run(["groff", "-ww", "-z", "-man", plain], capture_output=True, text=True)
    test.assertEqual((groff.returncode, groff.stderr), (0, ""))
    man = subprocess.run(["man", "-l", "-Tutf8", path], capture_output=True, text=True,
                         env=dict(os.environ, MANWIDTH="80", MAN_KEEP_STDERR="1"))
    test.assertEqual(man.returncode, 0, man.stderr)
    test.assertIn("vx-capture", man.stdout)


def check_binary_runs(test, binary):
    usage = subprocess.run([binary], capture_output=True, text=True, timeout=10)
    test.assertEqual((usage.returncode, usage.stderr), (2, USAGE))
    with open(binary, "rb") as f:
        test.assertIn(b"vx-capture version " + project_version().encode(), f.read())


@require_tools("cpack", "dpkg-deb", "dpkg-shlibdeps", "groff", "man", "pulseaudio", "pactl", "pacat", "sox",
               "Xvfb")
class PackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.TemporaryDirectory(prefix="vx-package-")
        made = subprocess.run(["cpack", "-G", "DEB", "-B", cls.folder.name, "--config",
                               os.path.join(BUILD_DIR, "CPackConfig.cmake")],
                              capture_output=True, text=True, timeout=300)
        assert made.returncode == 0, made.stdout + made.stderr
        debs = glob.glob(os.path.join(cls.folder.name, "*.deb"))
        assert len(debs) == 1, debs
        cls.deb = debs[0]
        cls.tree = os.path.join(cls.folder.name, "root")
        subprocess.run(["dpkg-deb", "-x", cls.deb, cls.tree], check=True)

    @classmethod
    def tearDownClass(cls):
        cls.folder.cleanup()

    def field(self, name):
        return subprocess.run(["dpkg-deb", "-f", self.deb, name], capture_output=True, text=True,
                              check=True).stdout.strip()

    def test_control_fields(self):
        info = subprocess.run(["dpkg", "-I", self.deb], capture_output=True, text=True, check=True).stdout
        self.assertIn("Package: vx-capture", info)
        self.assertEqual(self.field("Version"), project_version())
        self.assertEqual(self.field("Architecture"),
                         subprocess.run(["dpkg", "--print-architecture"], capture_output=True, text=True,
                                        check=True).stdout.strip())
        depends = [d.strip() for d in self.field("Depends").split(",")]
        names = [re.split(r"[ (]", d)[0] for d in depends]
        # Each library the binary links to appears as its Debian package, with a version.
        for pattern in (r"libc6", r"libstdc\+\+6", r"libx264-\d+", r"libpulse0", r"libx11-6"):
            with self.subTest(pattern):
                self.assertTrue(any(re.fullmatch(pattern, n) for n in names), depends)
        self.assertTrue(any(">=" in d for d in depends if d.startswith("libc6")), depends)

    def test_contents(self):
        listing = subprocess.run(["dpkg-deb", "--contents", self.deb], capture_output=True, text=True,
                                 check=True).stdout
        files = sorted(line.split()[-1] for line in listing.splitlines() if not line.startswith("d"))
        self.assertEqual(len(files), 2, listing)
        self.assertEqual(files[0], "./usr/bin/vx-capture")
        self.assertRegex(files[1], r"^\./usr/share/man/man1/vx-capture\.1(\.gz)?$")
        self.assertRegex(listing, r"-rwxr-xr-x root/root .* \./usr/bin/vx-capture")

    def test_manual_page(self):
        pages = glob.glob(os.path.join(self.tree, "usr/share/man/man1/vx-capture.1*"))
        self.assertEqual(len(pages), 1)
        check_manual_page(self, pages[0])

    def test_the_installed_binary_captures(self):
        binary = os.path.join(self.tree, "usr/bin/vx-capture")
        check_binary_runs(self, binary)
        with VirtualDisplay(320, 240) as display, SoundServer() as server:
            display.start_motion()
            env = server.env(base=display.env())
            audio = subprocess.Popen([binary, "audio", "--rate", "48000", "--channels", "2"], env=env,
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            pcm = audio.stdout.read(48000 * 4 // 10)      # a tenth of a second
            audio.stdin.close()
            self.assertEqual(audio.wait(timeout=10), 0)
            self.assertEqual(len(pcm), 48000 * 4 // 10)
            self.assertEqual(audio.stderr.read(), b"started\n")
            audio.stdout.close()
            audio.stderr.close()

            fifo = os.path.join(self.folder.name, "video.fifo")
            os.mkfifo(fifo)
            video = subprocess.Popen([binary, "video", "--out", fifo, "--width", "320", "--height", "240"],
                                     env=env, stdin=subprocess.PIPE, stderr=subprocess.PIPE)
            got = []
            def read_pipe():
                with open(fifo, "rb") as pipe:
                    got.append(pipe.read(4096))

            reader = threading.Thread(target=read_pipe, daemon=True)
            reader.start()
            reader.join(timeout=15)
            video.stdin.close()
            self.assertEqual(video.wait(timeout=10), 0)
            self.assertEqual(video.stderr.read(), b"started\n")
            video.stderr.close()
            self.assertTrue(got and got[0].startswith(b"\x00\x00\x00\x01"), got)


@require_tools("groff", "man")
class InstallTest(unittest.TestCase):
    def test_cmake_install_puts_the_binary_and_the_manual_page(self):
        with tempfile.TemporaryDirectory(prefix="vx-install-") as prefix:
            subprocess.run(["cmake", "--install", BUILD_DIR, "--prefix", prefix], check=True,
                           capture_output=True)
            check_binary_runs(self, os.path.join(prefix, "bin", "vx-capture"))
            check_manual_page(self, os.path.join(prefix, "share", "man", "man1", "vx-capture.1"))


if __name__ == "__main__":
    unittest.main()
