"""Startup benchmark: larkhold on a private Xvfb with 20 listed vaults.

Prints "startup ms: N" (process start to the main window's first Expose, median of 5 starts) and
"idle RSS MB: N" (resident memory after 10 s of idling). Run by `make bench` through bench/run.sh.
"""

import ctypes
import ctypes.util
import os
import signal
import statistics
import subprocess
import sys
import time
import uuid

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "e2e"))
import harness  # noqa: E402

RUNS = 5
VAULTS = 20
IDLE_SECONDS = 10

CREATE_NOTIFY, MAP_NOTIFY, EXPOSE = 16, 19, 12
EXPOSURE_MASK, SUBSTRUCTURE_NOTIFY_MASK = 1 << 15, 1 << 19


class XWatcher:
    """Sees the main window of a new client appear and its first Expose, from the X server itself."""

    def __init__(self, display):
        self.x = ctypes.CDLL(ctypes.util.find_library("X11") or "libX11.so.6")
        self.x.XOpenDisplay.restype = ctypes.c_void_p
        self.x.XOpenDisplay.argtypes = [ctypes.c_char_p]
        self.x.XDefaultRootWindow.restype = ctypes.c_ulong
        self.x.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
        self.x.XSelectInput.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_long]
        self.x.XPending.argtypes = [ctypes.c_void_p]
        self.x.XNextEvent.argtypes = [ctypes.c_void_p, ctypes.c_void_p]
        self.x.XFetchName.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.POINTER(ctypes.c_char_p)]
        self.x.XFlush.argtypes = [ctypes.c_void_p]
        self.x.XCloseDisplay.argtypes = [ctypes.c_void_p]
        self.display = self.x.XOpenDisplay(display.encode())
        if not self.display:
            raise RuntimeError("cannot open " + display)
        self.x.XSelectInput(self.display, self.x.XDefaultRootWindow(self.display), SUBSTRUCTURE_NOTIFY_MASK)
        self.x.XFlush(self.display)
        self.event = (ctypes.c_long * 24)()

    def name(self, window):
        name = ctypes.c_char_p()
        if self.x.XFetchName(self.display, window, ctypes.byref(name)) and name.value:
            return name.value.decode(errors="replace")
        return ""

    def wait_for_exposed(self, title, timeout=60):
        """Monotonic time of the first Expose of a top-level window titled `title`."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if not self.x.XPending(self.display):
                time.sleep(0.0005)
                continue
            self.x.XNextEvent(self.display, ctypes.byref(self.event))
            now = time.monotonic()
            kind = ctypes.c_int.from_buffer(self.event).value
            raw = bytes(self.event)
            if kind == CREATE_NOTIFY:
                window = int.from_bytes(raw[40:48], "little")
                self.x.XSelectInput(self.display, window, EXPOSURE_MASK)
                self.x.XFlush(self.display)
            elif kind == EXPOSE:
                window = int.from_bytes(raw[32:40], "little")
                if self.name(window) == title:
                    return now
        raise RuntimeError(f"no Expose of “{title}” within {timeout} s")

    def close(self):
        self.x.XCloseDisplay(self.display)


def rss_mb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return 0


def main():
    with harness.Desktop("startup-bench", tray=False, wm=False) as desktop:
        records = []
        for i in range(VAULTS):
            name = f"Vault {i + 1:02d}"
            kind = "pocket" if i % 4 == 3 else "standard"
            path = os.path.join(desktop.vault_dir, name + (".pocketvault" if kind == "pocket" else ".sparsebundle"))
            if kind == "standard":
                os.makedirs(os.path.join(path, "bands"))
            else:
                with open(path, "wb") as f:
                    f.truncate(2 * 1048576 + 240)
            records.append(harness.VaultRecord(id=str(uuid.uuid4()).upper(), kind=kind, name=name, bundlePath=path,
                                               maxSizeMB=1 if kind == "pocket" else 1024, createdAt=0,
                                               excludedFromCloud=False, requireTouchID=False,
                                               openInFinderAfterUnlock=False, autoOpenAtLaunch=False))
        desktop.list_vaults(records)

        times = []
        process = None
        for run in range(RUNS):
            watcher = XWatcher(desktop.display)
            started = time.monotonic()
            process = desktop.spawn(f"larkhold-{run}", [desktop.larkhold_binary])
            exposed = watcher.wait_for_exposed("Larkhold")
            watcher.close()
            times.append((exposed - started) * 1000)
            if run < RUNS - 1:
                process.send_signal(signal.SIGTERM)
                process.wait(timeout=60)
        time.sleep(IDLE_SECONDS)  # a benchmark may wait: what it measures is the idle state
        rss = rss_mb(process.pid)
        process.send_signal(signal.SIGTERM)
        process.wait(timeout=60)

    print("startup runs ms: " + " ".join(f"{t:.0f}" for t in times))
    print(f"startup ms: {statistics.median(times):.0f}")
    print(f"idle RSS MB: {rss:.0f}")


if __name__ == "__main__":
    main()
