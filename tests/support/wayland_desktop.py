"""A private headless Wayland desktop with the screen-cast portal, for end-to-end tests.

    with WaylandDesktop() as desktop:
        desktop.start_terminal()          # moving content
        env = desktop.env(state_home)     # what vx-capture needs to find it all
        desktop.refuse(True)              # the chooser now declines

Started in this order, each step waiting until it is ready: a session bus of its own (no
service directories, so nothing is started behind the fixture's back), PipeWire and WirePlumber,
sway on the headless backend with software rendering (as the unprivileged user `nobody` when
run by root, since sway refuses to run as root), the wlroots portal backend with a scripted chooser, the
permission store and the portal frontend. Every process runs in a process group of its own and
is ended by its recorded id (TERM, then KILL), in reverse order.

xdg-desktop-portal-wlr 0.7 refuses every screen cast of a compositor without a GPU; the test
library screencopy_shm_shim.c, built here and loaded into the portal backend only, mends that.

The chooser script grants the headless output and counts its calls in chooser_calls(); after
refuse(True) it exits non-zero instead (the user declined).
"""
import os
import pwd
import grp
import shutil
import signal
import subprocess
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SHIM_SOURCE = os.path.join(HERE, "screencopy_shm_shim.c")
PORTAL_WLR = "/usr/libexec/xdg-desktop-portal-wlr"
PORTAL = "/usr/libexec/xdg-desktop-portal"
PERMISSION_STORE = "/usr/libexec/xdg-permission-store"
TOOLS = ("dbus-daemon", "dbus-send", "pipewire", "wireplumber", "pw-cli", "sway", "foot", "setpriv", "cc")
OUTPUT = "HEADLESS-1"


def missing():
    """What this machine lacks to run the desktop (empty when nothing)."""
    lacking = [tool for tool in TOOLS if shutil.which(tool) is None]
    lacking += [path for path in (PORTAL_WLR, PORTAL, PERMISSION_STORE) if not os.path.exists(path)]
    return lacking


class DesktopError(RuntimeError):
    pass


class WaylandDesktop:
    def __init__(self, width=1920, height=1080):
        self.width, self.height = width, height
        self.processes = []  # (name, Popen) in the order of starting
        self.folder = None

    # -- lifetime ------------------------------------------------------------------------------
    def __enter__(self):
        lacking = missing()
        if lacking:
            raise DesktopError(f"cannot start a Wayland desktop, missing: {lacking}")
        try:
            self._start()
        except BaseException:
            self.stop()
            raise
        return self

    def __exit__(self, *exc):
        self.stop()
        return False

    def _start(self):
        self.folder = tempfile.mkdtemp(prefix="vx-wayland-")
        os.chmod(self.folder, 0o755)
        self.runtime = self._private_dir("runtime")
        for name in ("config", "data", "state"):
            self._private_dir(name)
        self.shim = os.path.join(self.folder, "screencopy_shm_shim.so")
        subprocess.run(["cc", "-shared", "-fPIC", "-O2", "-o", self.shim, SHIM_SOURCE, "-ldl"], check=True)
        self._write_chooser()

        bus_socket = os.path.join(self.folder, "bus")
        self.bus = f"unix:path={bus_socket}"
        config = self._write("bus.conf", BUS_CONFIG.format(socket=bus_socket))
        self._spawn("dbus-daemon", ["dbus-daemon", "--config-file", config, "--nofork", "--nopidfile"])
        self._wait("session bus", lambda: self._quiet(self._bus_call(
            "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus.GetId")))

        self._spawn("pipewire", ["pipewire"])
        self._wait("pipewire", lambda: self._quiet(["pw-cli", "-r", "pipewire-0", "info", "0"]))
        self._spawn("wireplumber", ["wireplumber"])
        self._wait("wireplumber", lambda: "wireplumber" in self._output(
            ["pw-cli", "-r", "pipewire-0", "ls", "Client"]).lower())

        self._start_sway()
        portal_config = self._write("portal-wlr.conf", PORTAL_WLR_CONFIG.format(
            output=OUTPUT, chooser=self.chooser))
        self._spawn("xdg-desktop-portal-wlr", [PORTAL_WLR, "-c", portal_config],
                    extra={"LD_PRELOAD": self.shim})
        self._wait("portal backend", lambda: self._owned("org.freedesktop.impl.portal.desktop.wlr"))
        self._spawn("xdg-permission-store", [PERMISSION_STORE, "--replace"])
        self._wait("permission store", lambda: self._owned("org.freedesktop.impl.portal.PermissionStore"))
        self._spawn("xdg-desktop-portal", [PORTAL, "--replace"])
        self._wait("portal", lambda: self._cursor_modes() > 0)

    def _start_sway(self):
        # sway refuses to run as root: root runs it as nobody, anyone else as themselves.
        self.sway_runtime = os.path.join(self.folder, "sway-runtime")
        os.mkdir(self.sway_runtime, 0o700)
        as_nobody = []
        if os.geteuid() == 0:
            os.chown(self.sway_runtime, pwd.getpwnam("nobody").pw_uid, grp.getgrnam("nogroup").gr_gid)
            as_nobody = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]
        ready = os.path.join(self.sway_runtime, "ready")
        config = self._write("sway.conf", SWAY_CONFIG.format(
            output=OUTPUT, width=self.width, height=self.height, ready=ready))
        os.chmod(config, 0o644)
        self._spawn("sway", [*as_nobody, "sway", "-c", config],
                    extra={"XDG_RUNTIME_DIR": self.sway_runtime, "HOME": self.sway_runtime,
                           "WLR_BACKENDS": "headless", "WLR_RENDERER": "pixman",
                           "WLR_LIBINPUT_NO_DEVICES": "1", "WLR_HEADLESS_OUTPUTS": "1"},
                    drop=("WAYLAND_DISPLAY", "SWAYSOCK", "DBUS_SESSION_BUS_ADDRESS"))

        def marked():
            try:
                with open(ready) as mark:
                    words = mark.read().split()
            except OSError:
                return False
            if len(words) < 2:
                return False
            self.wayland_display = os.path.join(self.sway_runtime, words[0])
            self.swaysock = words[1]
            return os.path.exists(self.wayland_display)
        self._wait("sway", marked)

    def stop(self):
        """Ends every process of the desktop, newest first; removes its folder."""
        for name, process in reversed(self.processes):
            _end(process)
        self.processes = []
        if self.folder and not os.environ.get("VX_KEEP_DESKTOP"):
            shutil.rmtree(self.folder, ignore_errors=True)
            self.folder = None

    # -- what tests use ------------------------------------------------------------------------
    def env(self, state_home):
        """The environment of a program on this desktop: no X server, the desktop's bus and
        compositor, restore tokens kept under state_home."""
        env = {key: value for key, value in os.environ.items()
               if key not in ("DISPLAY", "WAYLAND_DISPLAY", "XDG_SESSION_TYPE", "DBUS_SESSION_BUS_ADDRESS")}
        env.update(self._base_env())
        env["WAYLAND_DISPLAY"] = self.wayland_display
        env["XDG_STATE_HOME"] = state_home
        return env

    def pids(self):
        return [process.pid for _, process in self.processes]

    def start_terminal(self, command="i=0; while :; do i=$((i+1)); echo line $i; sleep 0.01; done",
                       background=None):
        """A full-screen terminal that scrolls: moving content. background: its colour as
        six hex digits instead of foot's dark default."""
        colours = ["-o", f"colors.background={background}"] if background else []
        self._spawn("foot", ["foot", *colours, "--", "sh", "-c", command],
                    extra={"WAYLAND_DISPLAY": self.wayland_display})
        time.sleep(0.5)

    def set_mode(self, width, height):
        """Gives the headless monitor a new size; the screen cast follows it."""
        env = self._env({"SWAYSOCK": self.swaysock})
        subprocess.run(["swaymsg", "output", OUTPUT, "mode", f"{width}x{height}"], env=env,
                       check=True, capture_output=True, timeout=10)

    def refuse(self, refusing):
        flag = os.path.join(self.folder, "refuse")
        if refusing:
            open(flag, "w").close()
        elif os.path.exists(flag):
            os.unlink(flag)

    def chooser_calls(self):
        try:
            with open(os.path.join(self.folder, "chooser-calls")) as calls:
                return len(calls.read().splitlines())
        except OSError:
            return 0

    def signal(self, name, number):
        """Sends a signal to one process of the desktop (SIGSTOP: it stops answering)."""
        for entry in self.processes:
            if entry[0] == name:
                entry[1].send_signal(number)

    def kill(self, name):
        """Kills one process of the desktop at once (SIGKILL) and forgets it."""
        for entry in list(self.processes):
            if entry[0] == name:
                _end(entry[1], signal.SIGKILL)
                self.processes.remove(entry)

    # -- helpers -------------------------------------------------------------------------------
    def _private_dir(self, name):
        path = os.path.join(self.folder, name)
        os.mkdir(path, 0o700)
        return path

    def _write(self, name, text):
        path = os.path.join(self.folder, name)
        with open(path, "w") as out:
            out.write(text)
        return path

    def _write_chooser(self):
        self.chooser = self._write("chooser.sh", CHOOSER.format(folder=self.folder, output=OUTPUT))
        os.chmod(self.chooser, 0o755)

    def _base_env(self):
        return {
            "XDG_RUNTIME_DIR": self.runtime,
            "XDG_CONFIG_HOME": os.path.join(self.folder, "config"),
            "XDG_DATA_HOME": os.path.join(self.folder, "data"),
            "XDG_STATE_HOME": os.path.join(self.folder, "state"),
            "XDG_CURRENT_DESKTOP": "sway",
            "XDG_SESSION_TYPE": "wayland",
            "DBUS_SESSION_BUS_ADDRESS": self.bus,
            "PIPEWIRE_RUNTIME_DIR": self.runtime,
        }

    def _env(self, extra=None, drop=()):
        env = {key: value for key, value in os.environ.items()
               if key not in ("DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS")}
        env.update(self._base_env())
        if getattr(self, "wayland_display", None):
            env["WAYLAND_DISPLAY"] = self.wayland_display
        env.update(extra or {})
        for key in drop:
            env.pop(key, None)
        return env

    def _spawn(self, name, argv, extra=None, drop=()):
        log = open(os.path.join(self.folder, f"{name}.log"), "ab")
        process = subprocess.Popen(argv, env=self._env(extra, drop), stdin=subprocess.DEVNULL,
                                   stdout=log, stderr=log, start_new_session=True)
        log.close()
        self.processes.append((name, process))
        return process

    def _wait(self, what, ready, timeout=15):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for name, process in self.processes:
                if process.poll() is not None:
                    raise DesktopError(f"{name} ended with status {process.returncode} while waiting for "
                                       f"the {what}: {self._log_tail(name)}")
            if ready():
                return
            time.sleep(0.05)
        raise DesktopError(f"the {what} was not ready within {timeout} s")

    def _log_tail(self, name):
        try:
            with open(os.path.join(self.folder, f"{name}.log"), "rb") as log:
                return log.read()[-600:].decode(errors="replace")
        except OSError:
            return ""

    def _quiet(self, argv):
        return subprocess.run(argv, env=self._env(), stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, timeout=5).returncode == 0

    def _output(self, argv):
        try:
            return subprocess.run(argv, env=self._env(), capture_output=True, timeout=5).stdout.decode()
        except subprocess.TimeoutExpired:
            return ""

    def _bus_call(self, destination, path, method, *arguments):
        return ["dbus-send", f"--bus={self.bus}", "--print-reply", f"--dest={destination}", path,
                method, *arguments]

    def _owned(self, name):
        reply = self._output(self._bus_call("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                            "org.freedesktop.DBus.NameHasOwner", f"string:{name}"))
        return reply.split()[-2:] == ["boolean", "true"]

    def _cursor_modes(self):
        reply = self._output(self._bus_call(
            "org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop",
            "org.freedesktop.DBus.Properties.Get", "string:org.freedesktop.portal.ScreenCast",
            "string:AvailableCursorModes"))
        words = reply.split()
        return int(words[-1]) if words[-2:-1] == ["uint32"] and words[-1].isdigit() else 0


def _end(process, first=signal.SIGTERM, grace=0.6):
    """Ends a process and the rest of its process group."""
    if process.poll() is None:
        try:
            os.killpg(process.pid, first)
        except ProcessLookupError:
            pass
        try:
            process.wait(grace)
        except subprocess.TimeoutExpired:
            pass
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    try:
        process.wait(5)
    except subprocess.TimeoutExpired:
        pass


BUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path={socket}</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
"""

SWAY_CONFIG = """output {output} mode {width}x{height}@60Hz
default_border none
exec sh -c 'echo "$WAYLAND_DISPLAY $SWAYSOCK" > {ready}.new && mv {ready}.new {ready}'
"""

PORTAL_WLR_CONFIG = """[screencast]
output_name={output}
max_fps=60
chooser_type=simple
chooser_cmd={chooser}
"""

CHOOSER = """#!/bin/sh
echo call >> {folder}/chooser-calls
[ -e {folder}/refuse ] && exit 1
echo {output}
"""
