#!/usr/bin/env python3
"""A parent application driving vx-capture, in the way the helper expects to be driven.

It starts both modes, waits for "started" with a deadline, reads the PCM from the audio
helper's standard output and the H.264 stream from the video helper's named pipe (leaving and
re-attaching to the pipe once on the way), restarts a helper that ended with status 3 after a
growing pause, tells the user to allow screen recording on status 5, and stops both by closing
their standard input. At the end FFmpeg puts what was received into one playable file.

    examples/parent.py --seconds 10 --output capture.mkv

Standard library only; FFmpeg must be on PATH for the last step.
"""
import argparse
import os
import select
import shutil
import subprocess
import sys
import tempfile
import threading
import time

STARTED_DEADLINE_S = 10.0   # the desktop's chooser may take longer: raise it for Wayland
BACKOFF_S = (0.5, 1, 2, 4, 8)


class Helper:
    """One vx-capture process of one mode, restarted after status 3 until stop() is called.
    consume(process) reads the process's output while it runs."""

    def __init__(self, binary, mode, args, consume):
        self.command = [binary, mode] + args
        self.mode = mode
        self.consume = consume
        self.stopping = threading.Event()
        self.process = None
        self.thread = threading.Thread(target=self._run, name=mode)

    def start(self):
        self.thread.start()

    def stop(self):
        self.stopping.set()
        if self.process and self.process.stdin:
            self.process.stdin.close()          # the one way to stop the helper
        self.thread.join()

    def _run(self):
        failures = 0
        while not self.stopping.is_set():
            status = self._run_once()
            if self.stopping.is_set() or status == 0:
                return
            if status == 5:
                say(f"{self.mode}: allow screen recording for this application, then try again")
                return
            if status != 3:                     # 2: our own mistake; retrying will not help
                say(f"{self.mode}: gave up (status {status})")
                return
            pause = BACKOFF_S[min(failures, len(BACKOFF_S) - 1)]
            failures += 1
            say(f"{self.mode}: restarting in {pause} s")
            self.stopping.wait(pause)

    def _run_once(self):
        stdout = subprocess.PIPE if self.mode == "audio" else subprocess.DEVNULL
        self.process = process = subprocess.Popen(self.command, stdin=subprocess.PIPE, stdout=stdout,
                                                  stderr=subprocess.PIPE)
        if self.stopping.is_set():              # stop() came while we were starting
            process.stdin.close()
        line = read_line(process.stderr, STARTED_DEADLINE_S)
        if line != "started":
            if line is None:                    # no answer in time: treat as a failed start
                process.kill()
            status = process.wait()
            say(f"{self.mode}: did not start: {line or 'no answer'} (status {status})")
            return 3 if line is None else status
        say(f"{self.mode}: started")
        self.consume(process, self.stopping)
        for rest in process.stderr:             # "vx-capture: capture stopped: ..." and the like
            say(f"{self.mode}: {rest.decode(errors='replace').rstrip()}")
        status = process.wait()
        say(f"{self.mode}: ended with status {status}")
        return status


def read_line(stream, timeout):
    """One line of stream without its newline, "" at its end, None after timeout seconds."""
    line = b""
    deadline = time.monotonic() + timeout
    while True:
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([stream], [], [], left)[0]:
            return None
        byte = os.read(stream.fileno(), 1)
        if byte in (b"", b"\n"):
            return line.decode(errors="replace")
        line += byte


def read_audio(sink):
    def consume(process, stopping):
        while chunk := process.stdout.read1(65536):
            sink.write(chunk)
    return consume


def read_video(fifo, sink, reattach_after_s):
    """Reads the pipe until the helper ends; leaves it once after reattach_after_s to show that
    a new reader gets a fresh start (parameter sets and a key frame) at once."""
    def consume(process, stopping):
        reattach_at = time.monotonic() + reattach_after_s
        while process.poll() is None and not stopping.is_set():
            # Non-blocking open: a reader waits for a writer without hanging if none comes.
            fd = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
            try:
                while process.poll() is None and not stopping.is_set():
                    if reattach_at and time.monotonic() >= reattach_at:
                        reattach_at = None
                        say("video: leaving the pipe and attaching again")
                        break
                    if select.select([fd], [], [], 0.2)[0]:
                        try:
                            chunk = os.read(fd, 1 << 16)
                        except BlockingIOError:  # readable, then drained: wait again
                            continue
                        if not chunk:           # the writer went away
                            break
                        sink.write(chunk)
            finally:
                os.close(fd)
    return consume


def say(text):
    print(f"parent: {text}", file=sys.stderr, flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--binary", default=shutil.which("vx-capture") or "vx-capture")
    parser.add_argument("--seconds", type=float, default=10)
    parser.add_argument("--width", type=int, default=1280)
    parser.add_argument("--height", type=int, default=720)
    parser.add_argument("--fps", type=int, default=30)
    parser.add_argument("--rate", type=int, default=48000)
    parser.add_argument("--channels", type=int, default=2)
    parser.add_argument("--output", default="capture.mkv")
    a = parser.parse_args()

    folder = tempfile.mkdtemp(prefix="vx-parent-")
    fifo = os.path.join(folder, "video.fifo")
    os.mkfifo(fifo)
    pcm_path, h264_path = os.path.join(folder, "audio.pcm"), os.path.join(folder, "video.h264")
    try:
        with open(pcm_path, "wb") as pcm, open(h264_path, "wb") as h264:
            helpers = [
                Helper(a.binary, "audio", ["--rate", str(a.rate), "--channels", str(a.channels)],
                       read_audio(pcm)),
                Helper(a.binary, "video", ["--out", fifo, "--width", str(a.width), "--height",
                                           str(a.height), "--fps", str(a.fps)],
                       read_video(fifo, h264, reattach_after_s=a.seconds / 2)),
            ]
            for helper in helpers:
                helper.start()
            time.sleep(a.seconds)
            for helper in helpers:
                helper.stop()
        inputs = []
        if os.path.getsize(pcm_path):
            inputs += ["-f", "s16le", "-ar", str(a.rate), "-ac", str(a.channels), "-i", pcm_path]
        if os.path.getsize(h264_path):
            inputs += ["-f", "h264", "-framerate", str(a.fps), "-i", h264_path]
        if not inputs:
            say("nothing received")
            return 1
        subprocess.run(["ffmpeg", "-loglevel", "error", "-y"] + inputs + ["-c", "copy", a.output],
                       check=True)
        say(f"wrote {a.output}")
        return 0
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
