"""A private PulseAudio sound server for end-to-end tests, with one null output and test players.

    with SoundServer() as server:
        tone = server.play_tone(1000, seconds=3)                          # an ordinary player
        other = server.play_tone(440, identity="com.vxcapture.sender")    # as the companion app
        subprocess.run([...], env=server.env())

The daemon and every client get their own XDG_RUNTIME_DIR, XDG_CONFIG_HOME and HOME in a
temporary folder and PULSE_SERVER pointing at the daemon's socket, so nothing touches the real
user's sound setup. The output is a null sink (float32, 48 kHz stereo by default) that is also
the default sink, with its monitor as default source. An idle null sink renders in 2-second
blocks, so by default a silent low-latency player keeps it rendering in small steps (that
player is an ordinary client, identity "vx-test-keepawake"). Everything started here stops on
exit.
"""
import os
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

SINK = "vxtest"
KEEPAWAKE_IDENTITY = "vx-test-keepawake"


class SoundServer:
    name = "PulseAudio"

    def __init__(self, rate=48000, channels=2, keep_awake=True):
        self.rate = rate
        self.channels = channels
        self.keep_awake = keep_awake
        self.folder = None
        self.socket = None
        self.daemon = None
        self._players = []

    # -- lifetime -------------------------------------------------------------------------------
    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()
        return False

    def start(self, timeout=10.0):
        for tool in ("pulseaudio", "pactl", "pacat", "sox"):
            if shutil.which(tool) is None:
                raise RuntimeError(f"{tool} is not installed (Debian packages pulseaudio, "
                                   "pulseaudio-utils, sox)")
        self.folder = tempfile.mkdtemp(prefix="vx-sound-")
        for sub in ("runtime", "config", "home"):
            os.makedirs(os.path.join(self.folder, sub), mode=0o700)
        self.socket = os.path.join(self.folder, "runtime", "native")
        config = os.path.join(self.folder, "server.pa")
        with open(config, "w") as f:
            f.write(".fail\n"
                    f"load-module module-native-protocol-unix auth-anonymous=1 socket={self.socket}\n"
                    f"load-module module-null-sink sink_name={SINK} rate={self.rate} "
                    f"channels={self.channels} format=float32le\n"
                    f"set-default-sink {SINK}\n"
                    f"set-default-source {SINK}.monitor\n")
        self.daemon = subprocess.Popen(
            ["pulseaudio", "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit=yes",
             "--use-pid-file=no", "--log-target=stderr", "--log-level=error", "-n", "-F", config],
            env=self._daemon_env(), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL, start_new_session=True)
        deadline = time.monotonic() + timeout
        while True:
            if self.daemon.poll() is not None:
                self.stop()
                raise RuntimeError("the sound server ended before it was ready")
            if os.path.exists(self.socket) and self.pactl("info", check=False).returncode == 0:
                break
            if time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("the sound server did not come up")
            time.sleep(0.02)
        if self.keep_awake:
            self.play_silence(KEEPAWAKE_IDENTITY)

    def stop(self):
        for player in self._players:
            _end(player)
        self._players.clear()
        if self.daemon is not None:
            _end(self.daemon)
            self.daemon = None
        if self.folder is not None:
            shutil.rmtree(self.folder, ignore_errors=True)
            self.folder = None

    def kill(self):
        """Kills the daemon abruptly (SIGKILL), as when it crashes; players are left to stop()."""
        if self.daemon is not None:
            self.daemon.kill()
            self.daemon.wait()
            self.daemon = None

    # -- environments -----------------------------------------------------------------------------
    def _daemon_env(self):
        environment = dict(os.environ)
        environment.pop("PULSE_SERVER", None)
        environment.update(XDG_RUNTIME_DIR=os.path.join(self.folder, "runtime"),
                           XDG_CONFIG_HOME=os.path.join(self.folder, "config"),
                           HOME=os.path.join(self.folder, "home"))
        return environment

    def env(self, base=None, **extra):
        """An environment for clients of this server (base: os.environ unless given)."""
        environment = dict(os.environ if base is None else base)
        environment.update(XDG_RUNTIME_DIR=os.path.join(self.folder, "runtime"),
                           XDG_CONFIG_HOME=os.path.join(self.folder, "config"),
                           HOME=os.path.join(self.folder, "home"),
                           PULSE_SERVER=f"unix:{self.socket}")
        environment.pop("PULSE_PROP", None)
        environment.update(extra)
        return environment

    def pactl(self, *args, check=True):
        return subprocess.run(["pactl", *args], env=self.env(), capture_output=True, text=True,
                              check=check, timeout=10)

    # -- players ----------------------------------------------------------------------------------
    def tone_file(self, frequency, seconds, amplitude=0.5, rate=48000, channels=2):
        """A 16-bit WAV of a sine tone (peak amplitude relative to full scale), made once."""
        path = os.path.join(self.folder, f"tone-{frequency}-{seconds}-{amplitude}-{rate}-{channels}.wav")
        if not os.path.exists(path):
            subprocess.run(["sox", "-n", "-r", str(rate), "-c", str(channels), "-b", "16", path,
                            "synth", str(seconds), "sine", str(frequency), "vol", str(amplitude)],
                           check=True, capture_output=True, timeout=30)
        return path

    def play_file(self, path, identity=None, latency_msec=100):
        """Plays a sound file; identity becomes the player's application.id. Returns the process.
        The server holds latency_msec of it, enough to ride out a busy machine without gaps."""
        extra = {"PULSE_PROP": f"application.id={identity}"} if identity else {}
        player = subprocess.Popen(["pacat", "--playback", "--file-format", f"--latency-msec={latency_msec}",
                                   path], env=self.env(**extra), stdin=subprocess.DEVNULL,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                  start_new_session=True)
        self._players.append(player)
        return player

    def play_tone(self, frequency, seconds=3.0, identity=None, amplitude=0.5, rate=48000, channels=2):
        """Plays a sine tone as a new player. Returns the process (it ends when the tone does)."""
        return self.play_file(self.tone_file(frequency, seconds, amplitude, rate, channels), identity)

    def connect_client(self, identity):
        """A client connected to the server with that identity, playing nothing. Returns the process."""
        client = subprocess.Popen(["pactl", "subscribe"], env=self.env(PULSE_PROP=f"application.id={identity}"),
                                  stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL, start_new_session=True)
        self._players.append(client)
        deadline = time.monotonic() + 10
        while identity not in self.pactl("list", "clients").stdout:
            if time.monotonic() > deadline:
                raise RuntimeError(f"client {identity} did not connect")
            time.sleep(0.02)
        return client

    def players(self):
        """The identities (application.id) of the current sink inputs, in the server's order."""
        identities = []
        for block in self.pactl("list", "sink-inputs").stdout.split("Sink Input #")[1:]:
            for line in block.splitlines():
                line = line.strip()
                if line.startswith("application.id = "):
                    identities.append(line.split("=", 1)[1].strip().strip('"'))
        return identities

    def play_silence(self, identity):
        """A player that plays silence with low latency until stopped. Returns the process."""
        player = subprocess.Popen(["pacat", "--playback", "--raw", "--format=s16le", "--rate=48000",
                                   "--channels=2", "--latency-msec=10", "/dev/zero"],
                                  env=self.env(PULSE_PROP=f"application.id={identity}"),
                                  stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL, start_new_session=True)
        self._players.append(player)
        return player

    # -- applications that have not made a sound yet ------------------------------------------------
    def start_application(self, identity):
        """A running process that names itself identity the way libpulse reads it (PULSE_PROP in
        its environment) but never connects to the server. Returns the process."""
        process = subprocess.Popen(["sleep", "600"], env=self.env(PULSE_PROP=f"application.id={identity}"),
                                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL, start_new_session=True)
        self._players.append(process)
        return process

    def connect_player_client(self, identity):
        """A client connected now with application.id=identity (set by the program, not from the
        environment) that plays nothing until asked: returns a ClientPlayer."""
        client = ClientPlayer(self.env(), identity)
        self._players.append(client.process)
        return client


class PipeWireSoundServer(SoundServer):
    """The same as SoundServer, on PipeWire with WirePlumber and pipewire-pulse (PipeWire's
    PulseAudio server) instead of PulseAudio: a private session bus, a fresh XDG_STATE_HOME (the
    session manager remembers per-application volumes), and a null output made through the
    PulseAudio protocol as the default output."""

    name = "PipeWire"

    def start(self, timeout=10.0):
        for tool in ("pipewire", "wireplumber", "pipewire-pulse", "dbus-daemon", "pactl", "pacat", "sox"):
            if shutil.which(tool) is None:
                raise RuntimeError(f"{tool} is not installed (Debian packages pipewire, wireplumber, "
                                   "pipewire-pulse, dbus, pulseaudio-utils, sox)")
        self.folder = tempfile.mkdtemp(prefix="vx-pipewire-")
        for sub in ("runtime", "config", "home", "state"):
            os.makedirs(os.path.join(self.folder, sub), mode=0o700)
        self.socket = os.path.join(self.folder, "runtime", "pulse", "native")
        self._daemons = []
        bus = os.path.join(self.folder, "runtime", "bus")
        self._daemons.append(self._spawn(["dbus-daemon", "--session", f"--address=unix:path={bus}",
                                          "--nofork", "--nopidfile"]))
        self._wait(lambda: os.path.exists(bus), timeout, "the session bus")
        self._daemons.append(self._spawn(["pipewire"]))
        self._wait(lambda: os.path.exists(os.path.join(self.folder, "runtime", "pipewire-0")), timeout,
                   "PipeWire")
        self._daemons.append(self._spawn(["wireplumber"]))
        self._daemons.append(self._spawn(["pipewire-pulse"]))
        self._wait(lambda: os.path.exists(self.socket) and self.pactl("info", check=False).returncode == 0,
                   timeout, "pipewire-pulse")
        self.pactl("load-module", "module-null-sink", f"sink_name={SINK}", f"rate={self.rate}",
                   f"channels={self.channels}", "format=float32le")
        self._wait(lambda: self.pactl("set-default-sink", SINK, check=False).returncode == 0
                   and f"Default Sink: {SINK}" in self.pactl("info").stdout, timeout, "the null output")
        self.daemon = self._daemons[-1]
        if self.keep_awake:
            self.play_silence(KEEPAWAKE_IDENTITY)

    def _spawn(self, command):
        return subprocess.Popen(command, env=self._daemon_env(), stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)

    def _wait(self, ready, timeout, what):
        deadline = time.monotonic() + timeout
        while not ready():
            if time.monotonic() > deadline or any(d.poll() is not None for d in self._daemons):
                self.stop()
                raise RuntimeError(f"{what} did not come up")
            time.sleep(0.02)

    def _daemon_env(self):
        environment = super()._daemon_env()
        environment.update(XDG_STATE_HOME=os.path.join(self.folder, "state"),
                           DBUS_SESSION_BUS_ADDRESS="unix:path=" + os.path.join(self.folder, "runtime", "bus"))
        environment.pop("PIPEWIRE_REMOTE", None)
        return environment

    def stop(self):
        for player in self._players:
            _end(player)
        self._players.clear()
        for daemon in reversed(getattr(self, "_daemons", [])):
            _end(daemon)
        self._daemons = []
        self.daemon = None
        if self.folder is not None:
            shutil.rmtree(self.folder, ignore_errors=True)
            self.folder = None


class ClientPlayer:
    """tests/support/pulse_client.py running: one client connection; play() adds a player to it."""

    def __init__(self, env, identity):
        script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "pulse_client.py")
        self.process = subprocess.Popen([sys.executable, script, identity], env=env,
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL, text=True, start_new_session=True)
        if self._line() != "connected":
            raise RuntimeError(f"client {identity} did not connect")

    def _line(self, timeout=10):
        ready, _, _ = select.select([self.process.stdout], [], [], timeout)
        return self.process.stdout.readline().strip() if ready else ""

    def close(self):
        """Disconnects the client (its players go with it)."""
        _end(self.process)
        for stream in (self.process.stdin, self.process.stdout):
            try:
                stream.close()
            except OSError:
                pass

    def play(self, path, identity=None):
        """Starts playing a 16-bit WAV file as a new player of this client (the player's own
        application.id set to identity when given); returns once its first samples are on their way."""
        self.process.stdin.write(f"play {path} {identity or ''}".rstrip() + "\n")
        self.process.stdin.flush()
        if self._line() != "playing":
            raise RuntimeError("the client did not start playing")


class MuteSoundServer:
    """A socket where a sound server would be that accepts connections and never answers, as a
    hung server does. env() points clients at it.

        with MuteSoundServer() as mute:
            subprocess.run([...], env=mute.env())
    """

    def __init__(self):
        self.folder = tempfile.mkdtemp(prefix="vx-mute-")
        self.path = os.path.join(self.folder, "native")
        self.listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.listener.bind(self.path)
        self.listener.listen(16)
        self.accepted = []
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self._accept, daemon=True)
        self.thread.start()

    def _accept(self):
        self.listener.settimeout(0.1)
        while not self.stopping.is_set():
            try:
                connection, _ = self.listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            self.accepted.append(connection)   # held open, never read, never answered

    def env(self, base=None, **extra):
        environment = dict(os.environ if base is None else base)
        environment.update(XDG_RUNTIME_DIR=self.folder, XDG_CONFIG_HOME=self.folder, HOME=self.folder,
                           PULSE_SERVER=f"unix:{self.path}")
        environment.pop("PULSE_PROP", None)
        environment.update(extra)
        return environment

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stopping.set()
        self.thread.join(5)
        self.listener.close()
        for connection in self.accepted:
            connection.close()
        shutil.rmtree(self.folder, ignore_errors=True)
        return False


def _end(process, grace=3.0):
    if process.poll() is not None:
        return
    process.send_signal(signal.SIGTERM)
    try:
        process.wait(grace)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


# -- analysis of captured PCM ----------------------------------------------------------------------
try:
    import numpy
except ImportError:  # the pure-Python path below does the same, more slowly
    numpy = None


def s16_channels(pcm, channels):
    """Raw interleaved s16le bytes -> one list of floats (full scale 1.0) per channel."""
    usable = len(pcm) - len(pcm) % (2 * channels)
    if numpy is not None:
        frames = numpy.frombuffer(pcm[:usable], dtype="<i2").astype(numpy.float64) / 32768.0
        return [frames[c::channels] for c in range(channels)]
    import array
    values = array.array("h")
    values.frombytes(pcm[:usable])
    if values.itemsize != 2 or array.array("h", [1]).tobytes() != b"\x01\x00":
        values.byteswap()
    return [[v / 32768.0 for v in values[c::channels]] for c in range(channels)]


def tone_dbfs(samples, rate, frequency):
    """The level of one frequency in samples, in dB relative to a full-scale sine (Hann window,
    Goertzel). About -200 for digital silence."""
    import math
    n = len(samples)
    if n < 2:
        return -200.0
    if numpy is not None:
        window = numpy.hanning(n)
        phase = numpy.exp(-2j * math.pi * frequency * numpy.arange(n) / rate)
        magnitude = abs(numpy.sum(numpy.asarray(samples) * window * phase))
    else:
        coefficient = 2 * math.cos(2 * math.pi * frequency / rate)
        s1 = s2 = 0.0
        step = 2 * math.pi / (n - 1)
        for i, x in enumerate(samples):
            s0 = x * (0.5 - 0.5 * math.cos(step * i)) + coefficient * s1 - s2
            s2, s1 = s1, s0
        magnitude = math.sqrt(max(s1 * s1 + s2 * s2 - coefficient * s1 * s2, 0.0))
    amplitude = 2 * magnitude / (n * 0.5)
    return 20 * math.log10(max(amplitude, 1e-10))


def peak_dbfs(samples):
    import math
    peak = max((abs(x) for x in samples), default=0.0)
    return 20 * math.log10(max(peak, 1e-10))


# -- a player with a different tone on each side -----------------------------------------------------
def play_stereo_tones(server, left, right, seconds=3.0, amplitude=0.5):
    """Plays, as a new player of server, a sine tone of frequency left on the left channel and
    one of frequency right on the right (48 kHz). A frame cut in two anywhere between the
    server and the test swaps the two. Returns the process."""
    path = os.path.join(server.folder, f"stereo-{left}-{right}-{seconds}-{amplitude}.wav")
    if not os.path.exists(path):
        subprocess.run(["sox", "-n", "-r", "48000", "-c", "2", "-b", "16", path, "synth", str(seconds),
                        "sine", str(left), "sine", str(right), "vol", str(amplitude)],
                       check=True, capture_output=True, timeout=30)
    return server.play_file(path)
