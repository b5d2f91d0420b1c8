"""Runs the program linked with the scripted stand-in (vx-capture-sim).

A script is the stand-in's text form (see platform/sim/sim_script.h); the record
is the list of requests the program made, one line each.
"""
import os
import select
import subprocess
import tempfile
import time
from dataclasses import dataclass, field

BUILD_DIR = os.environ.get("VX_BUILD_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "build"))
SIM = os.path.join(BUILD_DIR, "vx-capture-sim")


@dataclass
class Result:
    status: int
    stderr: str
    stdout: bytes
    record: list = field(default_factory=list)


def _files(script):
    folder = tempfile.mkdtemp(prefix="vxsim-")
    script_path = os.path.join(folder, "script.txt")
    record_path = os.path.join(folder, "record.txt")
    with open(script_path, "w") as f:
        f.write(script)
    env = dict(os.environ, VX_SIM_SCRIPT=script_path, VX_SIM_RECORD=record_path)
    return env, record_path


def _read_record(path):
    try:
        with open(path) as f:
            return f.read().splitlines()
    except FileNotFoundError:
        return []


class SimProcess:
    """A running vx-capture-sim; standard input stays open until close_stdin()."""

    def __init__(self, args, script="", stdout=subprocess.PIPE):
        env, self._record_path = _files(script)
        self.proc = subprocess.Popen([SIM] + list(args), stdin=subprocess.PIPE, stdout=stdout,
                                     stderr=subprocess.PIPE, env=env)
        self._stderr_seen = b""  # read by wait_for_stderr, ahead of what wait() reads

    def record(self):
        return _read_record(self._record_path)

    def wait_for_record(self, predicate, timeout=5.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            lines = self.record()
            if predicate(lines):
                return lines
            time.sleep(0.02)
        raise AssertionError("record never matched; it holds:\n" + "\n".join(self.record()))

    def wait_for_stderr(self, text, timeout=10.0):
        """Waits until standard error holds text. "started" is written after the
        stream's start is recorded, so a test that ends the process right after the
        record shows the start must wait for this too."""
        wanted = text.encode()
        deadline = time.monotonic() + timeout
        while wanted not in self._stderr_seen:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.proc.stderr], [], [], left)[0]:
                raise AssertionError(f"standard error never held {text!r}: {self._stderr_seen!r}")
            chunk = os.read(self.proc.stderr.fileno(), 4096)
            if not chunk:
                raise AssertionError(f"standard error ended without {text!r}: {self._stderr_seen!r}")
            self._stderr_seen += chunk

    def wait_until_started(self, timeout=10.0):
        self.wait_for_record(lambda lines: "startCapture" in lines, timeout)
        self.wait_for_stderr("started\n", timeout)

    def close_stdin(self):
        if self.proc.stdin:
            try:
                self.proc.stdin.close()
            except BrokenPipeError:
                pass
            self.proc.stdin = None  # so that communicate() leaves it alone

    def wait(self, timeout=10):
        """Waits for the end; returns a Result."""
        out, err = self.proc.communicate(timeout=timeout)
        err = self._stderr_seen + (err or b"")
        return Result(self.proc.returncode, err.decode("utf-8", "replace"), out or b"", self.record())

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


def start_sim(args, script=""):
    return SimProcess(args, script)


def run_sim(args, script="", stdin=b"", timeout=10, hold_stdin_s=None):
    """Runs to the end. stdin=b"" closes standard input at once (after writing
    nothing); hold_stdin_s keeps it open that long first."""
    p = SimProcess(args, script)
    try:
        if hold_stdin_s is not None:
            deadline = time.monotonic() + hold_stdin_s
            while time.monotonic() < deadline and p.proc.poll() is None:
                time.sleep(0.01)
        if p.proc.poll() is None and stdin:
            try:
                p.proc.stdin.write(stdin)
                p.proc.stdin.flush()
            except BrokenPipeError:
                pass
        p.close_stdin()
        out, err = p.proc.communicate(timeout=timeout)
    finally:
        p.kill()
    return Result(p.proc.returncode, err.decode("utf-8", "replace"), out or b"", p.record())


# -- steps the video process tests share --------------------------------------------------------
def run_until_started(args, script="", during=None, timeout=10):
    """Runs vx-capture-sim until the capture has started, then runs during(process) if
    given, ends the process through standard input and returns its Result."""
    p = SimProcess(args, script)
    try:
        p.wait_until_started(timeout)
        if during:
            during(p)
        p.close_stdin()
        return p.wait(timeout)
    finally:
        p.kill()


def open_fifo_reader(path):
    """Opens a FIFO for reading without waiting for its writer; reads then block."""
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


# -- shared steps of the entry-point and audio process tests (run_until_started above too) --------
import contextlib


@contextlib.contextmanager
def running_sim(args, script="", started=True, timeout=10.0):
    """A running vx-capture-sim, once it has written "started" (unless started=False); killed
    when the block is left, however it ends. End it in the block with finish()."""
    p = SimProcess(args, script)
    try:
        if started:
            p.wait_until_started(timeout)
        yield p
    finally:
        p.close_stdin()
        p.kill()


def finish(p, timeout=10):
    """Ends a running process the parent's way (closing its standard input); returns its Result."""
    p.close_stdin()
    return p.wait(timeout=timeout)


def run_to_its_end(args, script="", within=5):
    """Runs a process that is expected to end on its own, holding standard input open for up to
    `within` seconds first (the end of standard input would end it too)."""
    return run_sim(args, script, hold_stdin_s=within)


def read_exactly(fd, count, timeout=10.0):
    """Reads count bytes from fd, or what came before the end or the deadline."""
    data = b""
    deadline = time.monotonic() + timeout
    while len(data) < count:
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            break
        chunk = os.read(fd, count - len(data))
        if not chunk:
            break
        data += chunk
    return data


def run_with_closed_stderr(args, script="", hold_stdin_s=3, timeout=10):
    """Runs with standard error a pipe whose reading end the parent has already closed, as a
    parent that stopped listening does; returns the exit status (negative: the signal)."""
    env, _ = _files(script)
    read_end, write_end = os.pipe()
    os.close(read_end)
    try:
        proc = subprocess.Popen([SIM] + list(args), stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                stderr=write_end, env=env)
    finally:
        os.close(write_end)
    try:
        deadline = time.monotonic() + hold_stdin_s
        while time.monotonic() < deadline and proc.poll() is None:
            time.sleep(0.01)
        proc.stdin.close()
        return proc.wait(timeout)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


def run_with_closed_descriptors(args, script, closed, hold_stdin_s=1.5, timeout=10):
    """Runs with the standard descriptors in closed (0, 1, 2) not open at all, as a careless
    parent may start it; the others are pipes. Returns a Result (stdout and stderr empty when
    closed)."""
    env, record_path = _files(script)

    def close_them():
        for fd in closed:
            os.close(fd)

    proc = subprocess.Popen([SIM] + list(args), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=env, preexec_fn=close_them)
    try:
        deadline = time.monotonic() + hold_stdin_s
        while time.monotonic() < deadline and proc.poll() is None:
            time.sleep(0.01)
        out, err = proc.communicate(timeout=timeout)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    return Result(proc.returncode, err.decode("utf-8", "replace"), out, _read_record(record_path))
