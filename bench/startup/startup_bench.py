"""Startup benchmark: larkhold on a private Xvfb with 20 listed vaults, against a bare Qt Widgets window.

Prints "startup ms: N" (process start to the main window's mapping, median of 7 starts) and
"idle RSS MB: N" (resident memory after 10 s of idling), the same for the bare window started
alternately in the same session, the ratios of both, how many child processes larkhold
started before its window showed, the update check's fetch children that follow it (not start
children, but not hidden either), and how many shared libraries each had mapped by then.

A long list is measured against its anchors in the same run: the start with 500 vaults listed against the bare
window (started in the same rounds), the CPU time of the first 10 s with 0, 50 and 500 vaults listed, and the CPU
time of a minute of idling after that with 500 vaults against 0, and 1,000 against 500 per vault.

With one standard vault (attached by the build tree's tools) and one Pocket Vault open, a minute of idling: the
CPU and wake-ups of larkhold, and those of the disk service that holds the standard vault.

Run by `make bench` through bench/run.sh. LARKHOLD_BENCH_PARTS (a comma-separated choice of "start", "cpu" and
"open"; all of them unless set) runs only those parts.
"""

import ctypes
import ctypes.util
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import uuid

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "e2e"))
import harness  # noqa: E402

RUNS = 7
VAULTS = 20
LONG_LIST = 500
IDLE_SECONDS = 10
# The CPU of a start is taken over its first FIRST_SECONDS, then idle CPU over IDLE_CPU_SECONDS after SETTLE_SECONDS.
FIRST_SECONDS = 10
SETTLE_SECONDS = 15
IDLE_CPU_SECONDS = 60
LONGER_LIST = 1000
CPU_LISTS = (0, 50, LONG_LIST, LONGER_LIST)
PARTS = ("start", "cpu", "open")
OPEN_PASSWORD = "bench idle password 7"
POCKET_TOOL = os.path.join(os.environ.get("LARKHOLD_BUILD_DIR", "build"), "tests", "pocketui",
                           "larkhold-e2e-pocket-vault")

MAP_NOTIFY = 19
SUBSTRUCTURE_NOTIFY_MASK = 1 << 19


class XWatcher:
    """Sees the main window of a new client appear, from the X server itself."""

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

    def wait_for_mapped(self, title, timeout=60):
        """Monotonic time at which a top-level window titled `title` was mapped. Without a window manager
        the server maps it at once; the root's substructure events report it whatever the client did
        before the watcher looked."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if not self.x.XPending(self.display):
                time.sleep(0.0005)
                continue
            self.x.XNextEvent(self.display, ctypes.byref(self.event))
            now = time.monotonic()
            kind = ctypes.c_int.from_buffer(self.event).value
            if kind == MAP_NOTIFY:
                window = int.from_bytes(bytes(self.event)[40:48], "little")
                if self.name(window) == title:
                    return now
        raise RuntimeError(f"no window “{title}” mapped within {timeout} s")

    def close(self):
        self.x.XCloseDisplay(self.display)


class ChildWatcher(threading.Thread):
    """The children of `pid` seen from the window's mapping on, polled from /proc: their names and minor faults."""

    FETCH = "larkhold-update"  # larkhold-update-fetch, as the kernel's 15-character name keeps it

    def __init__(self, pid):
        super().__init__(daemon=True)
        self.pid = pid
        self.children = {}  # pid -> [name, minor faults, still readable]
        self.stopping = threading.Event()
        self.start()

    def run(self):
        while not self.stopping.wait(0.005):
            try:
                tasks = os.listdir(f"/proc/{self.pid}/task")
            except OSError:
                return
            for task in tasks:
                try:
                    with open(f"/proc/{self.pid}/task/{task}/children") as f:
                        for child in f.read().split():
                            self.children.setdefault(int(child), ["", 0, True])
                except OSError:
                    pass
            for child, info in self.children.items():
                if not info[2]:
                    continue
                try:
                    with open(f"/proc/{child}/stat") as f:
                        stat = f.read()
                except OSError:
                    info[2] = False
                    continue
                fields = stat.rsplit(")", 1)[1].split()
                if int(fields[1]) != self.pid:
                    info[2] = False
                    continue
                info[0] = stat[stat.index("(") + 1:stat.rindex(")")]
                info[1] = int(fields[7])

    def stop(self):
        """(fetch children, their minor faults, other children) seen."""
        self.stopping.set()
        self.join()
        fetch = [info for info in self.children.values() if info[0].startswith(self.FETCH)]
        return len(fetch), sum(info[1] for info in fetch), len(self.children) - len(fetch)


def rss_mb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return 0


def bench_vault_records(desktop, count):
    """`count` vaults in the desktop's vault folder, every fourth a Pocket Vault; their files are made once."""
    records = []
    for i in range(count):
        name = f"Vault {i + 1:03d}"
        kind = "pocket" if i % 4 == 3 else "standard"
        path = os.path.join(desktop.vault_dir, name + (".pocketvault" if kind == "pocket" else ".sparsebundle"))
        if kind == "standard":
            os.makedirs(os.path.join(path, "bands"), exist_ok=True)
        elif not os.path.exists(path):
            with open(path, "wb") as f:
                f.truncate(2 * 1048576 + 240)
        records.append(harness.VaultRecord(id=str(uuid.uuid5(uuid.NAMESPACE_URL, path)).upper(), kind=kind, name=name,
                                           bundlePath=path, maxSizeMB=1 if kind == "pocket" else 1024, createdAt=0,
                                           excludedFromCloud=False, requireTouchID=False,
                                           openInFinderAfterUnlock=False, autoOpenAtLaunch=False))
    return records


def list_bench_vaults(desktop, count=VAULTS):
    """The vaults a start of the benchmark lists: `count` of them (VAULTS unless a long list is measured)."""
    desktop.list_vaults(bench_vault_records(desktop, count))


def cpu_seconds(pid):
    """CPU time of `pid`, its threads and the children it has waited for, in seconds."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return sum(int(fields[i]) for i in (11, 12, 13, 14)) / os.sysconf("SC_CLK_TCK")


def memory_runtime_dir():
    """A folder in memory for the session's runtime files, as a desktop session has (the login manager mounts a
    tmpfs there), or None. The bench's session otherwise keeps them beside its home on disk, where the
    application's instance lock waits for the disk at every start, which no desktop makes it do."""
    try:
        folder = tempfile.mkdtemp(prefix="larkhold-bench-run-", dir="/dev/shm")
    except OSError:
        return None
    os.chmod(folder, 0o700)
    return folder


def bench_desktop(name):
    """A desktop for the benchmark, and its runtime folder in memory (or None) for the caller to remove."""
    desktop = harness.Desktop(name, tray=False, wm=False)
    runtime = memory_runtime_dir()
    if runtime:
        desktop.runtime_dir = runtime
    return desktop, runtime


def chosen_parts():
    chosen = [part.strip() for part in os.environ.get("LARKHOLD_BENCH_PARTS", ",".join(PARTS)).split(",")]
    unknown = [part for part in chosen if part and part not in PARTS]
    if unknown:
        raise SystemExit(f"LARKHOLD_BENCH_PARTS: no part {', '.join(unknown)} (there are {', '.join(PARTS)})")
    return set(chosen)


def main():
    parts = chosen_parts()
    if "start" in parts:
        desktop, runtime = bench_desktop("startup-bench")
        try:
            measure(desktop)
        finally:
            if runtime:
                shutil.rmtree(runtime, ignore_errors=True)
    if "cpu" in parts:
        measure_cpu()
    if "open" in parts:
        measure_open()


def thread_switches(pid):
    """How often the threads of `pid` alive now have been switched to (voluntary and forced switches)."""
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/status") as f:
                for line in f:
                    if line.startswith(("voluntary_ctxt_switches:", "nonvoluntary_ctxt_switches:")):
                        total += int(line.split()[1])
        except OSError:
            pass  # a thread that ended meanwhile
    return total


class PerfCounter:
    """A perf event of a process and of every thread it starts meanwhile, through `perf stat` (a thread that lives a
    moment is counted too): context switches, or the CPU time in ms ("task-clock", to a fraction of a millisecond
    where /proc counts whole ticks of 10 ms). Without perf, `fallback` read at both ends: for the threads alive at
    both ends only, or at the kernel's tick."""

    def __init__(self, pid, event, fallback):
        self.pid = pid
        self.event = event
        self.fallback = fallback
        self.perf = None
        self.start = fallback(pid)
        if shutil.which("perf"):
            self.output = tempfile.NamedTemporaryFile(prefix="larkhold-bench-perf-", suffix=".csv")
            self.perf = subprocess.Popen(["perf", "stat", "-x", ",", "-e", event, "-p", str(pid),
                                          "-o", self.output.name], stdout=subprocess.DEVNULL,
                                         stderr=subprocess.DEVNULL)

    def stop(self):
        """(count, how it was counted)."""
        if self.perf:
            self.perf.send_signal(signal.SIGINT)
            self.perf.wait(timeout=60)
            with open(self.output.name) as f:
                for line in f:
                    fields = line.strip().split(",")
                    if len(fields) > 2 and fields[2] == self.event:
                        try:
                            return float(fields[0]), "perf"
                        except ValueError:
                            break
        return self.fallback(self.pid) - self.start, "/proc"


def wakeup_counter(pid):
    return PerfCounter(pid, "context-switches", thread_switches)


def cpu_ms_counter(pid):
    return PerfCounter(pid, "task-clock", lambda p: cpu_seconds(p) * 1000)


def disk_service_pids(desktop):
    """The disk services holding this desktop's attached volumes, from the tools' state folder."""
    folder = os.path.join(desktop.runtime_dir, "larkhold", "attached")
    pids = []
    for name in sorted(os.listdir(folder)) if os.path.isdir(folder) else []:
        with open(os.path.join(folder, name), encoding="utf-8", errors="replace") as f:
            text = f.read()
        at = text.find("<key>daemon-pid</key>")
        if at >= 0:
            pids.append(int(text[text.index("<integer>", at) + len("<integer>"):text.index("</integer>", at)]))
    return pids


def make_pocket_vault(desktop, name, password):
    """A 1 MB Pocket Vault made as the application makes one."""
    path = os.path.join(desktop.vault_dir, f"{name}.pocketvault")
    subprocess.run([POCKET_TOOL, path, "1"], input=(password + "\n").encode(), stdout=subprocess.DEVNULL,
                   stderr=subprocess.PIPE, env=desktop.env, timeout=300, check=True)
    return harness.VaultRecord(id=str(uuid.uuid4()).upper(), kind="pocket", name=name, bundlePath=path,
                               maxSizeMB=1, createdAt=0, excludedFromCloud=False, requireTouchID=False,
                               openInFinderAfterUnlock=True, autoOpenAtLaunch=True)


def measure_open():
    """A minute of idling with a standard vault and a Pocket Vault open, both unlocked from the keyring at start."""
    desktop, runtime = bench_desktop("open-bench")
    try:
        with desktop:
            standard = desktop.make_standard_vault("Standard", OPEN_PASSWORD)
            standard["autoOpenAtLaunch"] = True
            pocket = make_pocket_vault(desktop, "Pocket", OPEN_PASSWORD)
            for record in (standard, pocket):
                desktop.save_password(record, OPEN_PASSWORD)
            desktop.list_vaults([standard, pocket])
            process = desktop.spawn("larkhold-open", [desktop.larkhold_binary])
            desktop.wait_mounted(timeout=300)
            for name in ("Standard", "Pocket"):
                desktop.wait_for_activity(f"{name} unlocked · keyring", timeout=300)
            desktop.wait_for_window("Pocket")
            time.sleep(SETTLE_SECONDS)  # a benchmark may wait: what it measures is the idle state
            services = disk_service_pids(desktop)
            watched = {"larkhold": process.pid, **{f"disk service {pid}": pid for pid in services}}
            counters = {key: wakeup_counter(pid) for key, pid in watched.items()}
            cpu_counters = {key: cpu_ms_counter(pid) for key, pid in watched.items()}
            time.sleep(IDLE_CPU_SECONDS)
            cpu_ms = {key: counter.stop()[0] for key, counter in cpu_counters.items()}
            woken = {key: counter.stop() for key, counter in counters.items()}
            if process.poll() is not None:
                raise RuntimeError("larkhold ended: " + desktop.log("larkhold-open"))
    finally:
        if runtime:
            shutil.rmtree(runtime, ignore_errors=True)

    per_minute = 60 / IDLE_CPU_SECONDS
    for key in watched:
        cpu = cpu_ms[key] * per_minute
        switches, counted = woken[key]
        print(f"idle with a standard and a Pocket vault open, {key}: cpu ms a minute {cpu:.1f}, "
              f"wake-ups a minute {switches * per_minute:.0f} (context switches, {counted})")
    if not services:
        print("idle with a standard and a Pocket vault open: no disk service found")


def measure_cpu():
    """CPU of the first seconds and of a minute of idling, with each list length of CPU_LISTS at once, each
    on a desktop of its own (one instance per session), against the empty list and the bare window."""
    desktops, runtimes, processes = [], [], {}
    try:
        for count in CPU_LISTS:
            desktop, runtime = bench_desktop(f"cpu-bench-{count}")
            desktops.append(desktop)
            runtimes.append(runtime)
            desktop.start()
            list_bench_vaults(desktop, count)
        bare_binary = os.path.join(os.environ["LARKHOLD_BUILD_DIR"], "bench", "bench_bare_window")
        started = time.monotonic()
        for count, desktop in zip(CPU_LISTS, desktops):
            processes[count] = desktop.spawn(f"larkhold-cpu-{count}", [desktop.larkhold_binary])
        processes["bare"] = desktops[0].spawn("bare-cpu", [bare_binary])
        first = sample_at(processes, started + FIRST_SECONDS)
        time.sleep(max(0.0, started + SETTLE_SECONDS - time.monotonic()))
        counters = {key: cpu_ms_counter(process.pid) for key, process in processes.items()}
        time.sleep(IDLE_CPU_SECONDS)  # a benchmark may wait: what it measures is the idle state
        idle_ms = {key: counter.stop()[0] * 60 / IDLE_CPU_SECONDS for key, counter in counters.items()}
    finally:
        for desktop in desktops:
            desktop.close()
        for runtime in runtimes:
            if runtime:
                shutil.rmtree(runtime, ignore_errors=True)

    print(f"cpu s in the first {FIRST_SECONDS} s: " +
          " ".join(f"{count} vaults {first[count]:.2f}" for count in CPU_LISTS) + f" bare window {first['bare']:.2f}")
    print("idle cpu ms a minute: " + " ".join(f"{count} vaults {idle_ms[count]:.1f}" for count in CPU_LISTS) +
          f" bare window {idle_ms['bare']:.1f}")
    empty = CPU_LISTS[0]
    for count in CPU_LISTS[1:]:
        print(f"ratio cpu-{FIRST_SECONDS}s-{count}/cpu-{FIRST_SECONDS}s-{empty}: "
              f"{first[count] / max(first[empty], 0.01):.2f} ({first[count]:.2f} s / {first[empty]:.2f} s)")
    print(f"ratio idle-cpu-{LONG_LIST}/idle-cpu-{empty}: {idle_ms[LONG_LIST] / max(idle_ms[empty], 0.1):.2f} "
          f"({idle_ms[LONG_LIST]:.1f} ms / {idle_ms[empty]:.1f} ms a minute)")
    # Per listed vault, above the empty list: a longer list costs no more for each of its vaults.
    above = {count: max(idle_ms[count] - idle_ms[empty], 0) / count for count in (LONG_LIST, LONGER_LIST)}
    print(f"ratio idle-cpu-per-vault-{LONGER_LIST}/idle-cpu-per-vault-{LONG_LIST}: "
          f"{above[LONGER_LIST] / max(above[LONG_LIST], 0.01):.2f} "
          f"({above[LONGER_LIST]:.2f} ms / {above[LONG_LIST]:.2f} ms a minute per vault)")


def sample_at(processes, moment):
    """Each process's CPU seconds at the monotonic `moment`; a benchmark may wait, what it measures is the idle state."""
    time.sleep(max(0.0, moment - time.monotonic()))
    return {key: cpu_seconds(process.pid) for key, process in processes.items()}


def measure(desktop):
    with desktop:
        long_list = bench_vault_records(desktop, LONG_LIST)
        short_list = long_list[:VAULTS]

        bare_binary = os.path.join(os.environ["LARKHOLD_BUILD_DIR"], "bench", "bench_bare_window")
        times, bare_times, long_times, children, libraries, bare_libraries, later = [], [], [], [], [], [], []
        process = bare = None
        for run in range(RUNS):
            # Alternately, so that a busy neighbour slows all alike. The long list's start goes first: one
            # instance runs per session, and the short list's is kept running after the last round.
            desktop.list_vaults(long_list)
            watcher = XWatcher(desktop.display)
            started = time.monotonic()
            long_process = desktop.spawn(f"larkhold-long-{run}", [desktop.larkhold_binary])
            exposed = watcher.wait_for_mapped("Larkhold")
            watcher.close()
            long_times.append((exposed - started) * 1000)
            long_process.send_signal(signal.SIGTERM)
            long_process.wait(timeout=60)

            desktop.list_vaults(short_list)
            watcher = XWatcher(desktop.display)
            started = time.monotonic()
            process = desktop.spawn(f"larkhold-{run}", [desktop.larkhold_binary])
            exposed = watcher.wait_for_mapped("Larkhold")
            children.append(child_faults(process.pid))
            after_window = ChildWatcher(process.pid)
            libraries.append(mapped_libraries(process.pid))
            watcher.close()
            times.append((exposed - started) * 1000)

            watcher = XWatcher(desktop.display)
            started = time.monotonic()
            bare = desktop.spawn(f"bare-{run}", [bare_binary])
            exposed = watcher.wait_for_mapped("Bare Qt window")
            bare_libraries.append(mapped_libraries(bare.pid))
            watcher.close()
            bare_times.append((exposed - started) * 1000)
            if run < RUNS - 1:
                later.append(after_window.stop())
                for p in (process, bare):
                    p.send_signal(signal.SIGTERM)
                    p.wait(timeout=60)
        time.sleep(IDLE_SECONDS)  # a benchmark may wait: what it measures is the idle state
        rss, bare_rss = rss_mb(process.pid), rss_mb(bare.pid)
        idle_children = child_faults(process.pid)
        later.append(after_window.stop())
        for p in (process, bare):
            p.send_signal(signal.SIGTERM)
            p.wait(timeout=60)

    ms, bare_ms, long_ms = statistics.median(times), statistics.median(bare_times), statistics.median(long_times)
    print("startup runs ms: " + " ".join(f"{t:.0f}" for t in times))
    print("bare window runs ms: " + " ".join(f"{t:.0f}" for t in bare_times))
    print(f"startup runs with {LONG_LIST} vaults ms: " + " ".join(f"{t:.0f}" for t in long_times))
    # Page faults of the children larkhold waited for: zero while it has started no program.
    print("faults of child processes by the window's mapping: " + " ".join(str(n) for n in children))
    print(f"faults of child processes after idling: {idle_children}")
    # The update check runs its request in a child once launching has finished, i.e. after the window: not a
    # start child, but its cost is shown here, per run (the last one after idling).
    print("update check fetch children after the window: " + " ".join(str(n) for n, _, _ in later))
    print("minor faults of those fetch children: " + " ".join(str(f) for _, f, _ in later))
    print("other child processes seen after the window: " + " ".join(str(o) for _, _, o in later))
    # What the loader had mapped when the window showed (plug-ins included), against the bare window.
    print(f"shared libraries at the window's mapping: {max(libraries)} (bare window: {max(bare_libraries)})")
    print(f"startup ms: {ms:.0f}")
    print(f"idle RSS MB: {rss:.0f}")
    print(f"ratio startup/bare-window: {ms / bare_ms:.2f} ({ms:.0f} ms / {bare_ms:.0f} ms)")
    print(f"ratio startup-{LONG_LIST}/bare-window: {long_ms / bare_ms:.2f} ({long_ms:.0f} ms / {bare_ms:.0f} ms)")
    print(f"ratio idle-rss/bare-window: {rss / bare_rss:.2f} ({rss:.0f} MB / {bare_rss:.0f} MB)")


def mapped_libraries(pid):
    """Shared objects mapped into `pid` now."""
    with open(f"/proc/{pid}/maps") as f:
        return len({line.split()[-1] for line in f if ".so" in line.rsplit("/", 1)[-1]})


def child_faults(pid):
    """Minor page faults of the children `pid` has waited for (cminflt in /proc/PID/stat)."""
    with open(f"/proc/{pid}/stat") as f:
        return int(f.read().rsplit(")", 1)[1].split()[8])


if __name__ == "__main__":
    main()
