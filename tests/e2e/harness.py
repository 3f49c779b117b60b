"""A private desktop for end-to-end tests of the real larkhold.

Each Desktop is a world of its own: an Xvfb display chosen by the X server itself (-displayfd), openbox,
trayer as the XEmbed tray host, a private session bus with gnome-keyring's Secret Service and a mock
screen saver, a private "system" bus with python-dbusmock's logind, a throwaway HOME, runtime folder
and mount root. Nothing of it is shared with the machine or with tests running beside it, and close()
ends every process and unmounts every volume it started, also after a failure.

Waits poll a condition with a ceiling (60 s by default); nothing sleeps to synchronise.

A scenario:

    from harness import DesktopTestCase

    class MyScenario(DesktopTestCase):
        def test_something(self):
            d = self.desktop
            vault = d.make_standard_vault("Taxes", "pw")
            d.list_vaults([vault])
            d.start_larkhold()
            d.wait_for_window("Larkhold")
            ...

See README.md beside this file for the whole interface.
"""

import configparser
import ctypes
import ctypes.util
import datetime
import json
import os
import pwd
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
import uuid

import dbus

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.environ.get("LARKHOLD_SOURCE_DIR", os.path.dirname(os.path.dirname(HERE)))
BUILD_DIR = os.environ.get("LARKHOLD_BUILD_DIR", os.path.join(SOURCE_DIR, "build"))
SCREENSHOT_DIR = os.environ.get("LARKHOLD_E2E_SCREENSHOTS", os.path.join(BUILD_DIR, "e2e"))
BUS_CONFIG = os.path.join(HERE, "private-bus.conf")
LOGIND_TEMPLATE = os.path.join(HERE, "logind_recording.py")
PORTAL_TEMPLATE = os.path.join(HERE, "portal_settings.py")

# The portal's "color-scheme" values.
NO_PREFERENCE, PREFER_DARK, PREFER_LIGHT = 0, 1, 2

DEFAULT_TIMEOUT = 60.0
SECRET_SERVICE = "com.quillmere.TarnFolder"
LOGIND_SESSION = "e2e"

# Seconds between 1970-01-01 and 2001-01-01, the epoch of the vault list's dates.
REFERENCE_EPOCH = 978307200


class Timeout(AssertionError):
    pass


def wait_until(predicate, what, timeout=DEFAULT_TIMEOUT, interval=0.05):
    """Polls `predicate` until it returns something true, and returns that. Fails after `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while True:
        result = predicate()
        if result:
            return result
        if time.monotonic() > deadline:
            raise Timeout(f"waited {timeout:.0f} s for {what}")
        time.sleep(interval)


class _X11:
    """The few Xlib calls the command-line tools do not offer."""

    def __init__(self):
        self.lib = ctypes.CDLL(ctypes.util.find_library("X11") or "libX11.so.6")
        self.lib.XOpenDisplay.restype = ctypes.c_void_p
        self.lib.XOpenDisplay.argtypes = [ctypes.c_char_p]
        self.lib.XInternAtom.restype = ctypes.c_ulong
        self.lib.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
        self.lib.XGetSelectionOwner.restype = ctypes.c_ulong
        self.lib.XGetSelectionOwner.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
        self.lib.XCloseDisplay.argtypes = [ctypes.c_void_p]

    def send_delete_window(self, display, window):
        """The WM_DELETE_WINDOW request a window manager sends when the close button is clicked."""

        class ClientMessage(ctypes.Structure):
            _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                        ("display", ctypes.c_void_p), ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                        ("format", ctypes.c_int), ("data", ctypes.c_long * 5), ("pad", ctypes.c_long * 12)]

        self.lib.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long, ctypes.c_void_p]
        self.lib.XFlush.argtypes = [ctypes.c_void_p]
        handle = self.lib.XOpenDisplay(display.encode())
        if not handle:
            raise RuntimeError("cannot open " + display)
        try:
            event = ClientMessage()
            event.type = 33  # ClientMessage
            event.window = window
            event.message_type = self.lib.XInternAtom(handle, b"WM_PROTOCOLS", 0)
            event.format = 32
            event.data[0] = self.lib.XInternAtom(handle, b"WM_DELETE_WINDOW", 0)
            event.data[1] = 0  # CurrentTime
            self.lib.XSendEvent(handle, window, 0, 0, ctypes.byref(event))
            self.lib.XFlush(handle)
        finally:
            self.lib.XCloseDisplay(handle)

    def selection_owner(self, display, selection):
        handle = self.lib.XOpenDisplay(display.encode())
        if not handle:
            return 0
        try:
            atom = self.lib.XInternAtom(handle, selection.encode(), 0)
            return self.lib.XGetSelectionOwner(handle, atom)
        finally:
            self.lib.XCloseDisplay(handle)


_x11 = None


def _xlib():
    global _x11
    if _x11 is None:
        _x11 = _X11()
    return _x11


class VaultRecord(dict):
    """One entry of the vault list, as the list file stores it; `password` is kept for the test only."""

    @property
    def id(self):
        return self["id"]

    @property
    def name(self):
        return self["name"]

    @property
    def path(self):
        return self["bundlePath"]


class Desktop:
    """A private desktop session. Use as a context manager, or call start() and close()."""

    def __init__(self, name="desktop", tray=True, wm=True, screen="1280x800x24", color_scheme=NO_PREFERENCE):
        self.name = re.sub(r"[^A-Za-z0-9_.-]+", "_", name)
        self.tray = tray
        self.color_scheme = color_scheme
        self.wm = wm
        self.screen = screen
        self.root = tempfile.mkdtemp(prefix=f"larkhold-e2e-{self.name[-40:]}-")
        self.home = os.path.join(self.root, "home")
        self.runtime_dir = os.path.join(self.root, "run")
        self.mount_root = os.path.join(self.root, "mnt")
        # Run by tests/tools/udisks_fixture.py as a desktop user: the real udisks on the fixture's system bus
        # mounts every volume in the user's folder under /media.
        self.udisks = bool(os.environ.get("LARKHOLD_UDISKS_FIXTURE")) and os.geteuid() != 0
        if self.udisks:
            self.mount_root = os.path.join("/media", pwd.getpwuid(os.geteuid()).pw_name)
        self.vault_dir = os.path.join(self.root, "vaults")
        self.logs = os.path.join(self.root, "logs")
        self.config_home = os.path.join(self.home, ".config")
        self.data_home = os.path.join(self.home, ".local", "share")
        for folder in (self.home, self.runtime_dir, self.vault_dir, self.logs, self.config_home, self.data_home,
                       *([] if self.udisks else [self.mount_root])):
            os.makedirs(folder, exist_ok=True)
        os.chmod(self.runtime_dir, 0o700)
        os.chmod(self.home, 0o700)
        self.data_dir = os.path.join(self.data_home, "Larkhold")
        self.settings_file = os.path.join(self.config_home, "Larkhold", "Larkhold.conf")
        self.display = None
        self.session_bus_address = None
        self.system_bus_address = None
        self.larkhold = None
        self._processes = []  # (name, Popen), in start order
        self._buses = []
        self._started = False

    # ---- life cycle ----

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def start(self):
        if self._started:
            return self
        self._started = True
        try:
            self._start_x()
            self.session_bus_address = self._start_bus("session-bus")
            if self.udisks:
                self.system_bus_address = os.environ["DBUS_SYSTEM_BUS_ADDRESS"]
            else:
                self.system_bus_address = self._start_bus("system-bus")
            self._start_keyring()
            self._start_logind()
            self._start_screensaver()
            self._start_portal()
            if self.wm:
                self._start_wm()
            if self.tray:
                self._start_tray()
        except BaseException:
            self.close()
            raise
        return self

    def close(self):
        """Ends every process this desktop started (larkhold first), unmounts what is left, removes the files."""
        for bus in self._buses:
            try:
                bus.close()
            except Exception:
                pass
        self._buses = []
        for name, process in reversed(self._processes):
            self._end(process)
        self._processes = []
        self._unmount_leftovers()
        shutil.rmtree(self.root, ignore_errors=True)

    def _end(self, process, timeout=10):
        if process.poll() is not None:
            return
        try:
            os.killpg(process.pid, signal.SIGTERM)
        except ProcessLookupError:
            return
        try:
            process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            try:
                os.killpg(process.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            process.wait()

    def _unmount_leftovers(self):
        # Volumes of a larkhold that did not lock them, and the disk-image tools' private FUSE folders.
        for _ in range(3):
            left = [m for m in self._all_mounts() if m.startswith(self.root + "/")]
            if not left:
                return
            for mount_point in sorted(left, key=len, reverse=True):
                subprocess.run(["fusermount3", "-u", "-z", mount_point], stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
                subprocess.run(["umount", "-l", mount_point], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # The tools' disk services end once their volume is gone; anything of ours still running is ended.
        subprocess.run(["pkill", "-TERM", "-f", re.escape(self.root)], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)

    @property
    def env(self):
        """The environment every program of this desktop runs with."""
        env = {
            "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
            "HOME": self.home,
            "USER": os.environ.get("USER", "root"),
            "LOGNAME": os.environ.get("LOGNAME", os.environ.get("USER", "root")),
            "LANG": "C.UTF-8",
            "XDG_RUNTIME_DIR": self.runtime_dir,
            "XDG_CONFIG_HOME": self.config_home,
            "XDG_DATA_HOME": self.data_home,
            "XDG_CACHE_HOME": os.path.join(self.home, ".cache"),
            "XDG_SESSION_ID": LOGIND_SESSION,
            "XDG_SESSION_TYPE": "x11",
            "NO_AT_BRIDGE": "1",
            "QT_ACCESSIBILITY": "0",
            "QT_QPA_PLATFORM": "xcb",
            "LARKHOLD_TOOLS_DIR": os.path.join(BUILD_DIR, "tools", "diskimage"),
            "LARKHOLD_MOUNT_ROOT": self.mount_root,
        }
        if self.display:
            env["DISPLAY"] = self.display
        if self.session_bus_address:
            env["DBUS_SESSION_BUS_ADDRESS"] = self.session_bus_address
        if self.system_bus_address:
            env["DBUS_SYSTEM_BUS_ADDRESS"] = self.system_bus_address
        return env

    def spawn(self, name, argv, env=None, stdin=subprocess.DEVNULL, pass_fds=()):
        """Starts a program in its own process group, its output in logs/<name>.log; close() ends it."""
        log = open(os.path.join(self.logs, f"{name}.log"), "ab")
        try:
            process = subprocess.Popen(argv, env=env or self.env, stdin=stdin, stdout=log, stderr=subprocess.STDOUT,
                                       start_new_session=True, pass_fds=pass_fds)
        finally:
            log.close()
        self._processes.append((name, process))
        return process

    def log(self, name):
        try:
            with open(os.path.join(self.logs, f"{name}.log"), encoding="utf-8", errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    # ---- X server, window manager, tray ----

    def _start_x(self):
        read_end, write_end = os.pipe()
        try:
            self.spawn("xvfb", ["Xvfb", "-displayfd", str(write_end), "-screen", "0", self.screen,
                                "-nolisten", "tcp", "-noreset"], pass_fds=(write_end,))
        finally:
            os.close(write_end)
        with os.fdopen(read_end) as pipe:
            number = pipe.readline().strip()
        if not number.isdigit():
            raise RuntimeError("Xvfb did not start: " + self.log("xvfb"))
        self.display = f":{number}"

    def _start_wm(self):
        self.spawn("openbox", ["openbox", "--sm-disable"])
        wait_until(lambda: "window id" in self._run(["xprop", "-root", "_NET_SUPPORTING_WM_CHECK"]),
                   "the window manager")

    def _start_tray(self):
        self.spawn("trayer", ["trayer", "--edge", "top", "--align", "right", "--widthtype", "request",
                              "--height", "28", "--SetDockType", "true", "--SetPartialStrut", "true",
                              "--transparent", "false", "--tint", "0x303030", "--expand", "true"])
        wait_until(lambda: _xlib().selection_owner(self.display, "_NET_SYSTEM_TRAY_S0"), "the tray host")

    # ---- buses and their peers ----

    def _start_bus(self, name):
        read_end, write_end = os.pipe()
        try:
            self.spawn(name, ["dbus-daemon", f"--config-file={BUS_CONFIG}", "--nofork",
                              f"--print-address={write_end}"], pass_fds=(write_end,))
        finally:
            os.close(write_end)
        with os.fdopen(read_end) as pipe:
            address = pipe.readline().strip()
        if not address:
            raise RuntimeError(f"dbus-daemon ({name}) did not start: " + self.log(name))
        return address

    def _bus(self, address):
        bus = dbus.bus.BusConnection(address)
        self._buses.append(bus)
        return bus

    def session_bus(self):
        return self._bus(self.session_bus_address)

    def system_bus(self):
        return self._bus(self.system_bus_address)

    def _wait_for_name(self, address, name, what):
        bus = self._bus(address)
        wait_until(lambda: bus.name_has_owner(name), what)

    def _start_keyring(self):
        # A login password on standard input makes the daemon create and unlock the "login" keyring, which becomes
        # the default collection.
        process = self.spawn("keyring", ["gnome-keyring-daemon", "--foreground", "--unlock", "--components=secrets"],
                             stdin=subprocess.PIPE)
        process.stdin.write(b"throwaway")
        process.stdin.close()
        self._wait_for_name(self.session_bus_address, "org.freedesktop.secrets", "the Secret Service")

    def _start_logind(self):
        parameters = json.dumps({"mount_root": self.mount_root})
        self.spawn("logind", [sys.executable, "-m", "dbusmock", "--system", "--template", LOGIND_TEMPLATE,
                              "--parameters", parameters])
        self._wait_for_name(self.system_bus_address, "org.freedesktop.login1", "the mock login manager")
        manager = self.system_bus().get_object("org.freedesktop.login1", "/org/freedesktop/login1")
        manager.AddSession(LOGIND_SESSION, "seat0", dbus.UInt32(os.getuid()), "e2e", True,
                           dbus_interface="org.freedesktop.DBus.Mock")

    def _start_screensaver(self):
        self.spawn("screensaver", [sys.executable, "-m", "dbusmock", "--session", "org.freedesktop.ScreenSaver",
                                   "/org/freedesktop/ScreenSaver", "org.freedesktop.ScreenSaver"])
        self._wait_for_name(self.session_bus_address, "org.freedesktop.ScreenSaver", "the mock screen saver")

    def _start_portal(self):
        parameters = json.dumps({"color-scheme": self.color_scheme})
        self.spawn("portal", [sys.executable, "-m", "dbusmock", "--session", "--template", PORTAL_TEMPLATE,
                              "--parameters", parameters])
        self._wait_for_name(self.session_bus_address, "org.freedesktop.portal.Desktop", "the mock desktop portal")

    def set_color_scheme(self, value):
        """The desktop switches between light and dark: the portal's "color-scheme" changes and is announced."""
        portal = self._mock(self.session_bus(), "org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop")
        portal.SetColorScheme(dbus.UInt32(value), dbus_interface="org.freedesktop.DBus.Mock")

    def _mock(self, bus, name, path):
        return bus.get_object(name, path)

    def screensaver_active_changed(self, active=True):
        """The screen saver announces that it went active (the screen locked) or inactive."""
        saver = self._mock(self.session_bus(), "org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver")
        saver.EmitSignal("org.freedesktop.ScreenSaver", "ActiveChanged", "b", [dbus.Boolean(active)],
                         dbus_interface="org.freedesktop.DBus.Mock")

    def lock_session(self):
        """The login manager locks this session (its Lock signal)."""
        session = self._mock(self.system_bus(), "org.freedesktop.login1",
                             f"/org/freedesktop/login1/session/{LOGIND_SESSION}")
        session.Lock(dbus_interface="org.freedesktop.login1.Session")

    def prepare_for_sleep(self, start=True):
        manager = self._mock(self.system_bus(), "org.freedesktop.login1", "/org/freedesktop/login1")
        manager.EmitSignal("org.freedesktop.login1.Manager", "PrepareForSleep", "b", [dbus.Boolean(start)],
                           dbus_interface="org.freedesktop.DBus.Mock")

    def sleep_inhibitors(self, who="Larkhold"):
        """The sleep inhibitors held now: (what, who, why, mode) of each."""
        manager = self._mock(self.system_bus(), "org.freedesktop.login1", "/org/freedesktop/login1")
        held = manager.ListInhibitors(dbus_interface="org.freedesktop.login1.Manager")
        return [tuple(str(x) for x in entry[:4]) for entry in held if str(entry[1]) == who]

    def inhibitor_releases(self, who="Larkhold"):
        """Every released inhibitor in order, with the volumes under the mount root that were mounted right then."""
        manager = self._mock(self.system_bus(), "org.freedesktop.login1", "/org/freedesktop/login1")
        releases = manager.Releases(dbus_interface="org.freedesktop.DBus.Mock")
        return [{"what": str(r[0]), "who": str(r[1]), "mode": str(r[2]), "mounts": [str(m) for m in r[3]]}
                for r in releases if str(r[1]) == who]

    # ---- X input, windows and screenshots ----

    def _run(self, argv, check=False, input=None, timeout=DEFAULT_TIMEOUT):
        result = subprocess.run(argv, env=self.env, input=input, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                timeout=timeout)
        if check and result.returncode != 0:
            raise RuntimeError(f"{argv[0]} failed ({result.returncode}): {result.stderr.decode(errors='replace')}")
        return result.stdout.decode(errors="replace")

    def xdotool(self, *args):
        return self._run(["xdotool", *[str(a) for a in args]])

    def find_windows(self, name, visible=True):
        """Windows whose title is exactly `name` (X window ids)."""
        pattern = "^" + re.escape(name) + "$"
        args = ["search"] + (["--onlyvisible"] if visible else []) + ["--name", pattern]
        return [int(w) for w in self.xdotool(*args).split()]

    def wait_for_window(self, name, timeout=DEFAULT_TIMEOUT):
        return wait_until(lambda: self.find_windows(name), f"a visible window “{name}”", timeout)[0]

    def wait_window_gone(self, name, timeout=DEFAULT_TIMEOUT):
        wait_until(lambda: not self.find_windows(name), f"no visible window “{name}”", timeout)

    def window_geometry(self, window):
        """(x, y, width, height) of a window on the screen."""
        out = self.xdotool("getwindowgeometry", "--shell", window)
        values = dict(line.split("=", 1) for line in out.split() if "=" in line)
        return int(values["X"]), int(values["Y"]), int(values["WIDTH"]), int(values["HEIGHT"])

    def window_property(self, window, name):
        """The text xprop prints for a property of the window (empty when it is not set)."""
        out = self._run(["xprop", "-id", str(window), name])
        return "" if "not found" in out or "no such atom" in out else out

    def active_window(self):
        out = self.xdotool("getactivewindow").strip()
        return int(out) if out.isdigit() else None

    def close_window(self, window):
        """Asks the window to close, as the window manager's close button does."""
        _xlib().send_delete_window(self.display, window)

    def click(self, x, y, button=1):
        self.xdotool("mousemove", "--sync", x, y, "click", button)

    def click_window(self, window, x, y, button=1):
        """Clicks at (x, y) inside the window."""
        wx, wy, _, _ = self.window_geometry(window)
        self.click(wx + x, wy + y, button)

    def key(self, *keys):
        self.xdotool("key", "--delay", "30", *keys)

    def type_text(self, text):
        self.xdotool("type", "--delay", "20", text)

    def screenshot(self, label):
        """The whole screen as build/e2e/<desktop name>-<label>.png; returns the path."""
        os.makedirs(SCREENSHOT_DIR, exist_ok=True)
        path = os.path.join(SCREENSHOT_DIR, f"{self.name}-{label}.png")
        if self.display:
            self._run(["import", "-display", self.display, "-window", "root", path])
        return path

    def lightness(self, window=None, area=None):
        """The mean grey level (0 black … 255 white) of a window, or of the screen's (x, y, width, height) area."""
        argv = ["import", "-display", self.display, "-window", str(window) if window else "root"]
        if area:
            x, y, width, height = area
            argv += ["-crop", f"{width}x{height}+{x}+{y}", "+repage"]
        out = self._run(argv + ["-colorspace", "Gray", "-format", "%[fx:int(255*mean)]", "info:"], check=True)
        return int(out.strip())

    def tray_icons(self):
        """Geometries (x, y, width, height) of the icons embedded in the tray host."""
        tree = self._run(["xwininfo", "-root", "-tree"])
        icons = []
        inside = None
        for line in tree.splitlines():
            indent = len(line) - len(line.lstrip())
            match = re.match(r"\s*(0x[0-9a-f]+) (.*?): \((.*?)\)\s+(\d+)x(\d+)\+(-?\d+)\+(-?\d+)\s+\+(-?\d+)\+(-?\d+)",
                             line)
            if not match:
                continue
            if inside is not None and indent <= inside:
                inside = None
            if '"trayer"' in match.group(3) or '"panel"' in match.group(2):
                inside = indent
                continue
            if inside is not None and '"larkhold"' in match.group(3).lower():
                width, height = int(match.group(4)), int(match.group(5))
                icons.append((int(match.group(8)), int(match.group(9)), width, height))
        return icons

    def wait_for_tray_icon(self, timeout=DEFAULT_TIMEOUT):
        return wait_until(lambda: self.tray_icons(), "Larkhold’s icon in the tray", timeout)[0]

    def click_tray_icon(self, button=1):
        x, y, width, height = self.wait_for_tray_icon()
        self.click(x + width // 2, y + height // 2, button)

    # ---- Larkhold's files ----

    def write_settings(self, **values):
        """Sets preferences in Larkhold's settings file (before it starts: a running Larkhold keeps its own)."""
        os.makedirs(os.path.dirname(self.settings_file), exist_ok=True)
        config = configparser.RawConfigParser()
        config.optionxform = str
        if os.path.exists(self.settings_file):
            config.read(self.settings_file, encoding="utf-8")
        if not config.has_section("General"):
            config.add_section("General")
        for key, value in values.items():
            config.set("General", key, ("true" if value else "false") if isinstance(value, bool) else str(value))
        with open(self.settings_file, "w", encoding="utf-8") as f:
            config.write(f, space_around_delimiters=False)

    def read_setting(self, key):
        """The raw text of a preference in the settings file, or None."""
        config = configparser.RawConfigParser(strict=False, interpolation=None)
        config.optionxform = str
        try:
            config.read(self.settings_file, encoding="utf-8")
        except configparser.Error:
            return None
        return config.get("General", key, fallback=None)

    def activity(self):
        """The activity log's texts, newest first, as the settings file holds them now."""
        raw = self.read_setting("activityLog")
        if not raw:
            return []
        data = _qsettings_bytes(raw)
        try:
            return [event["text"] for event in json.loads(data.decode("utf-8"))]
        except (ValueError, KeyError, TypeError):
            return []

    def wait_for_activity(self, text, timeout=DEFAULT_TIMEOUT):
        wait_until(lambda: text in self.activity(), f"the activity “{text}”", timeout)

    def make_standard_vault(self, name, password, size_mb=64):
        """A standard vault made with the build tree's disk-image tools in this desktop's vault folder."""
        path = os.path.join(self.vault_dir, f"{name}.sparsebundle")
        hdiutil = os.path.join(BUILD_DIR, "tools", "diskimage", "hdiutil")
        result = subprocess.run([hdiutil, "create", "-encryption", "AES-256", "-stdinpass", "-type", "SPARSEBUNDLE",
                                 "-fs", "APFS", "-size", f"{size_mb}m", "-volname", name, path],
                                env=self.env, input=password.encode(), stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, timeout=300)
        if result.returncode != 0:
            raise RuntimeError("hdiutil create failed: " + result.stderr.decode(errors="replace"))
        record = VaultRecord(id=str(uuid.uuid4()).upper(), kind="standard", name=name, bundlePath=path,
                             maxSizeMB=size_mb, createdAt=time.time() - REFERENCE_EPOCH, excludedFromCloud=False,
                             requireTouchID=False, openInFinderAfterUnlock=False, autoOpenAtLaunch=False)
        record.password = password
        return record

    def list_vaults(self, records):
        """Writes the vault list file with these records (before Larkhold starts)."""
        os.makedirs(self.data_dir, mode=0o700, exist_ok=True)
        with open(os.path.join(self.data_dir, "vaults.json"), "w", encoding="utf-8") as f:
            json.dump([dict(r) for r in records], f, indent=2, sort_keys=True)

    def listed_vaults(self):
        try:
            with open(os.path.join(self.data_dir, "vaults.json"), encoding="utf-8") as f:
                return json.load(f)
        except FileNotFoundError:
            return []

    def save_password(self, vault, password=None):
        """Puts a vault's password into the keyring the way Larkhold files it."""
        secret = (password if password is not None else vault.password).encode()
        self._run(["secret-tool", "store", "--label=Larkhold vault password", "service", SECRET_SERVICE,
                   "account", vault.id], check=True, input=secret)

    def saved_password(self, vault):
        out = subprocess.run(["secret-tool", "lookup", "service", SECRET_SERVICE, "account", vault.id],
                             env=self.env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=DEFAULT_TIMEOUT)
        return out.stdout.decode() if out.returncode == 0 else None

    @staticmethod
    def _all_mounts():
        mounts = []
        with open("/proc/self/mountinfo", encoding="utf-8", errors="replace") as f:
            for line in f:
                fields = line.split()
                mounts.append(fields[4].replace("\\040", " "))
        return mounts

    def mounts(self):
        """Volumes mounted now under this desktop's mount root (hidden ones included)."""
        return [m for m in self._all_mounts() if m.startswith(self.mount_root + "/")]

    def wait_mounted(self, count=1, timeout=DEFAULT_TIMEOUT):
        return wait_until(lambda: len(self.mounts()) >= count and self.mounts(), f"{count} mounted volume(s)",
                          timeout)

    def wait_unmounted(self, timeout=DEFAULT_TIMEOUT):
        wait_until(lambda: not self.mounts(), "every volume unmounted", timeout)

    # ---- Larkhold itself ----

    @property
    def larkhold_binary(self):
        return os.path.join(BUILD_DIR, "src", "app", "larkhold")

    def start_larkhold(self, *args, wait=True):
        """Starts the build tree's larkhold; with `wait`, returns once its main window shows and it holds its
        sleep inhibitor (so every observer is in place)."""
        self.larkhold = self.spawn("larkhold", [self.larkhold_binary, *args])
        if wait:
            self.wait_for_window("Larkhold")
            wait_until(lambda: self.sleep_inhibitors() or self.larkhold.poll() is not None,
                       "Larkhold’s sleep inhibitor")
            if self.larkhold.poll() is not None:
                raise AssertionError("larkhold ended: " + self.log("larkhold"))
        return self.larkhold

    def run_larkhold(self, *args, timeout=DEFAULT_TIMEOUT):
        """Runs another larkhold to its end (a second instance); returns the CompletedProcess."""
        return subprocess.run([self.larkhold_binary, *args], env=self.env, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=timeout, start_new_session=True)

    def signal_larkhold(self, sig=signal.SIGTERM):
        self.larkhold.send_signal(sig)

    def wait_larkhold_exit(self, timeout=DEFAULT_TIMEOUT):
        try:
            return self.larkhold.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            raise Timeout(f"waited {timeout:.0f} s for larkhold to end")


def _qsettings_bytes(raw):
    """The bytes of a QSettings @ByteArray(...) value as the INI file writes it: an escaped text whose characters
    are the bytes (\\xHH for those above 127)."""
    text = raw.strip()
    if len(text) >= 2 and text[0] == '"' and text[-1] == '"':
        text = text[1:-1]
    escapes = {"a": "\a", "b": "\b", "f": "\f", "n": "\n", "r": "\r", "t": "\t", "v": "\v", "0": "\0"}
    out = []
    i = 0
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text):
            n = text[i + 1]
            if n == "x":
                j = i + 2
                while j < len(text) and j < i + 6 and text[j] in "0123456789abcdefABCDEF":
                    j += 1
                if j > i + 2:
                    out.append(chr(int(text[i + 2:j], 16)))
                i = j
                continue
            out.append(escapes.get(n, n))
            i += 2
            continue
        out.append(c)
        i += 1
    value = "".join(out)
    if value.startswith("@ByteArray(") and value.endswith(")"):
        return value[len("@ByteArray("):-1].encode("latin-1", errors="replace")
    return value.encode("utf-8")


class DesktopTestCase(unittest.TestCase):
    """A test case with a fresh private desktop in self.desktop; its end state goes to build/e2e/ and everything
    it started is ended, whether the test passed or not."""

    tray = True
    wm = True
    color_scheme = NO_PREFERENCE

    def setUp(self):
        self.desktop = Desktop(self.id().split(".", 1)[-1], tray=self.tray, wm=self.wm,
                               color_scheme=self.color_scheme)
        self.addCleanup(self._end_desktop)
        self.desktop.start()

    def _end_desktop(self):
        try:
            self.desktop.screenshot("end")
        except Exception:
            pass
        if os.environ.get("LARKHOLD_E2E_KEEP_LOGS"):
            for name in ("larkhold", "keyring", "logind", "openbox", "trayer"):
                sys.stderr.write(f"---- {name}.log\n{self.desktop.log(name)}\n")
        self.desktop.close()
