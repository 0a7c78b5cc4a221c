"""A private desktop for the shortcut portal tests: Xvfb, a private session bus on
which the XDG desktop portal, its KDE backend and kglobalaccel start by D-Bus
activation, and a fresh HOME and XDG directories (kglobalaccel remembers triggers in
kglobalshortcutsrc). The helper is told it runs in a Wayland session."""

import os
import select
import shutil
import signal
import subprocess
import tempfile
import time

from x11_session import XServer

SERVICE_DIR = "/usr/share/dbus-1/services"
PORTAL = "org.freedesktop.portal.Desktop"

BUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path={socket}</listen>
  <servicedir>{services}</servicedir>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
"""


class PortalDesktop:
    def __init__(self, autorepeat=True):
        self.root = tempfile.mkdtemp(prefix="vesk-portal-")
        self.x = None
        self.bus = None
        try:
            self._start(autorepeat)
        except BaseException:
            self.close()
            raise

    def _start(self, autorepeat):
        dirs = {}
        for name in ("home", "config", "data", "cache", "runtime", "services"):
            dirs[name] = os.path.join(self.root, name)
            os.mkdir(dirs[name], 0o700)
        self.services = dirs["services"]
        for name in os.listdir(SERVICE_DIR):
            os.symlink(os.path.join(SERVICE_DIR, name), os.path.join(self.services, name))
        socket = os.path.join(dirs["runtime"], "bus")
        config = os.path.join(self.root, "bus.conf")
        with open(config, "w") as f:
            f.write(BUS_CONFIG.format(socket=socket, services=self.services))
        self.x = XServer(() if autorepeat else ("-r",))
        self.env = dict(os.environ, HOME=dirs["home"], XDG_CONFIG_HOME=dirs["config"], XDG_DATA_HOME=dirs["data"],
                        XDG_CACHE_HOME=dirs["cache"], XDG_RUNTIME_DIR=dirs["runtime"], XDG_CURRENT_DESKTOP="KDE",
                        QT_QPA_PLATFORM="xcb", DISPLAY=self.x.display,
                        DBUS_SESSION_BUS_ADDRESS="unix:path=" + socket)
        self.env.pop("WAYLAND_DISPLAY", None)
        self.env.pop("XDG_SESSION_TYPE", None)
        # The services the bus starts write their complaints where it does: kept, for a
        # test that fails to show.
        self.log = os.path.join(self.root, "desktop.log")
        with open(self.log, "wb") as log:
            self.bus = subprocess.Popen(["dbus-daemon", "--config-file=" + config, "--nofork", "--print-address=1"],
                                        env=self.env, stdout=subprocess.PIPE, stderr=log)
        ready, _, _ = select.select([self.bus.stdout], [], [], 30)
        if not ready or not self.bus.stdout.readline():
            raise RuntimeError("the private session bus did not start")
        self.kglobalshortcutsrc = os.path.join(dirs["config"], "kglobalshortcutsrc")

    def log_tail(self, lines=30):
        """The last lines the bus and the services it started wrote."""
        try:
            with open(self.log, errors="replace") as log:
                return "".join(log.readlines()[-lines:])
        except OSError:
            return ""

    def helper_env(self, wayland="display", x11=True):
        """The helper's environment: a Wayland session named by WAYLAND_DISPLAY
        ("display"), by XDG_SESSION_TYPE ("type") or not at all (None); DISPLAY as well
        when `x11`, as XWayland gives it."""
        env = dict(self.env)
        if wayland == "display":
            env["WAYLAND_DISPLAY"] = "wayland-vesk-test"
        elif wayland == "type":
            env["XDG_SESSION_TYPE"] = "wayland"
        if not x11:
            env.pop("DISPLAY")
        return env

    def bus_pids(self):
        """{name: pid} of every name on the bus with a process, as busctl shows them."""
        out = subprocess.run(["busctl", "--user", "list", "--no-legend", "--no-pager"], env=self.env,
                             capture_output=True, text=True, timeout=30).stdout
        pids = {}
        for line in out.splitlines():
            fields = line.split()
            if len(fields) > 2 and fields[1].isdigit() and fields[2] != "busctl":
                pids[fields[0]] = int(fields[1])
        return pids

    def remove_portal(self):
        """Takes the portal away for good: no longer activatable, its process ended."""
        os.unlink(os.path.join(self.services, PORTAL + ".service"))
        subprocess.run(["busctl", "--user", "call", "org.freedesktop.DBus", "/org/freedesktop/DBus",
                        "org.freedesktop.DBus", "ReloadConfig"], env=self.env, capture_output=True, timeout=30)
        pid = self.bus_pids().get(PORTAL)
        if pid:
            _kill(pid)

    def restore_portal(self):
        os.symlink(os.path.join(SERVICE_DIR, PORTAL + ".service"), os.path.join(self.services, PORTAL + ".service"))
        subprocess.run(["busctl", "--user", "call", "org.freedesktop.DBus", "/org/freedesktop/DBus",
                        "org.freedesktop.DBus", "ReloadConfig"], env=self.env, capture_output=True, timeout=30)

    def close(self):
        # Activated services are not the bus's children to reap: end them by pid first.
        if self.bus and self.bus.poll() is None:
            try:
                pids = set(self.bus_pids().values()) - {self.bus.pid}
            except subprocess.TimeoutExpired:
                pids = set()
            for pid in pids:
                _kill(pid)
            self.bus.kill()
            self.bus.wait()
            self.bus.stdout.close()
        if self.x:
            self.x.stop()
        shutil.rmtree(self.root, ignore_errors=True)


def _kill(pid):
    try:
        os.kill(pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline and os.path.exists(f"/proc/{pid}") and not _is_zombie(pid):
        time.sleep(0.02)


def _is_zombie(pid):
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] == "Z"
    except OSError:
        return True
