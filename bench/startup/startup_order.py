"""Writes src/app/startup-order.txt: the program's own functions that its start runs, for the linker
to lay out together (src/app/CMakeLists.txt). The program's code is
mapped in blocks as it runs; with the start's functions side by side the first window maps a few
hundred kilobytes of it instead of nearly all of it.

Runs the build tree's larkhold under callgrind on a private X server with the benchmark's vault list,
lets it idle until the window's launch wiring has run, and keeps what ran before the quit was asked
for. Run it again after larger changes to the start (a stale list only lays out less well):

    LARKHOLD_BUILD_DIR=$PWD/build /usr/bin/python3 bench/startup/startup_order.py
"""

import os
import re
import signal
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import startup_bench  # noqa: E402
from startup_bench import harness  # noqa: E402

SOURCE_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
ORDER_FILE = os.path.join(SOURCE_DIR, "src", "app", "startup-order.txt")
IDLE_SECONDS = 20  # under callgrind the launch wiring comes seconds after the window


def functions_run(profile, program):
    """Mangled names of `program`'s functions in a callgrind profile, in the order the profile names them."""
    objects, functions, order = {}, {}, {}
    current = False
    with open(profile, errors="replace") as f:
        for line in f:
            match = re.match(r"^(c?ob|c?fn)=\((\d+)\)(?: (.*))?$", line.rstrip("\n"))
            if not match:
                continue
            kind, number, name = match.groups()
            table = objects if kind.endswith("ob") else functions
            if name is not None:
                table[number] = name
            if kind == "ob":
                current = os.path.realpath(objects[number]) == program
            elif kind == "fn" and current:
                order.setdefault(functions[number], None)
    # Callgrind names the start's clones and parts (".cold", "'2" for recursion) apart; the linker knows the symbol.
    names = (re.sub(r"'\d+$", "", name) for name in order)
    # Addresses stand for code without a symbol, which the linker cannot place.
    return [name for name in dict.fromkeys(names) if not name.startswith("0x") and not re.search(r"[\s()]", name)]


def main():
    program = os.path.realpath(os.path.join(os.environ["LARKHOLD_BUILD_DIR"], "src", "app", "larkhold"))
    with tempfile.TemporaryDirectory(prefix="larkhold-order-") as folder, \
            harness.Desktop("startup-order", tray=False, wm=False) as desktop:
        startup_bench.list_bench_vaults(desktop)
        profile = os.path.join(folder, "callgrind.out")
        watcher = startup_bench.XWatcher(desktop.display)
        # The profile is written when the quit is asked for: what follows is the quit, not the start.
        process = desktop.spawn("larkhold", ["valgrind", "--tool=callgrind", "--demangle=no",
                                             f"--callgrind-out-file={profile}",
                                             "--dump-before=_ZN8larkhold11AppDelegate11requestQuitEv",
                                             program])
        watcher.wait_for_mapped("Larkhold", timeout=600)
        watcher.close()
        time.sleep(IDLE_SECONDS)
        process.send_signal(signal.SIGTERM)
        process.wait(timeout=600)
        dumps = sorted(name for name in os.listdir(folder) if name.startswith("callgrind.out."))
        if not dumps:
            raise SystemExit("no profile was written before the quit:\n" + desktop.log("larkhold")[-2000:])
        names = functions_run(os.path.join(folder, dumps[0]), program)
    with open(ORDER_FILE, "w") as f:
        # Sorted: where each lies within the start's block matters little, and a sorted list changes only
        # where the start does.
        f.write("".join(name + "\n" for name in sorted(names)))
    print(f"{len(names)} functions written to {os.path.relpath(ORDER_FILE, SOURCE_DIR)}")


if __name__ == "__main__":
    main()
