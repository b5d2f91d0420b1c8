"""Every message the parent reads is one line, whatever value it quotes."""
import os
import shutil
import tempfile
import unittest

from vxsim import run_sim

ONE_DISPLAY = "display 0 1920 1080\n"


class QuotedValuesStayOnOneLineTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="vx-lines-")
        self.addCleanup(shutil.rmtree, self.folder, True)

    def test_control_characters_in_a_refused_path_are_written_out(self):
        cases = {
            "newline": ("a\nb", "a\\nb"),
            "carriage return": ("a\rb", "a\\rb"),
            "escape sequence": ("\x1b[2Jx", "\\x1b[2Jx"),
        }
        for name, (raw, shown) in cases.items():
            with self.subTest(name):
                path = os.path.join(self.folder, raw)
                with open(path, "w") as f:
                    f.write("not a pipe\n")
                r = run_sim(["video", "--out", path], ONE_DISPLAY + "frame 10 count=20\n", stdin=b"",
                            hold_stdin_s=5)
                self.assertEqual(r.status, 2)
                self.assertEqual(r.stderr,
                                 f"vx-capture: --out {os.path.join(self.folder, shown)} is not a named pipe\n")
                self.assertEqual(r.stderr.count("\n"), 1)

    def test_a_description_from_the_platform_is_written_out_too(self):
        r = run_sim(["audio"], "start-error 1 bad\x1b[31mred\x07\n" + ONE_DISPLAY, stdin=b"",
                    hold_stdin_s=5)
        self.assertEqual(r.status, 3)
        self.assertEqual(r.stderr, "vx-capture: could not start capture: bad\\x1b[31mred\\x07\n")


if __name__ == "__main__":
    unittest.main()
