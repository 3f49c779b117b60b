#!/usr/bin/env python3
"""Runs one test program against a real udisks2, as a throwaway desktop user that is not root.

    udisks_fixture.py [--tree DIR]... [--writable DIR]... -- PROGRAM [ARGS...]

Started as root, it moves into a private mount, network and process namespace of its own (unshare) and sets up
there, for this run only: a system bus on a socket of its own, polkitd with a rule that gives the test
user what udisks grants an active local session without asking and nothing more (no agent runs),
systemd-udevd with rules that look only at loop devices over disks served below this run's folder, and
udisksd. /etc/passwd, /etc/group and /etc/fuse.conf are replaced inside the namespace only, so the user
and `user_allow_other` exist for this run alone; /media, /run/udev and udisks' own state are private
too. The program then runs as the test user, with a desktop user's PATH, DBUS_SYSTEM_BUS_ADDRESS
pointing at the private bus and LARKHOLD_UDISKS_FIXTURE set to this run's folder. That folder holds
`small-disk`, a 128 MiB tmpfs of the test user's own, for a host disk the user can fill, and two FIFOs
through which the program asks for what only root can do here: it writes one request a line to `requests`
and reads the answer line from `answers` once it is done ("stop udevd", "start udevd", "stop udisksd", "restart udisksd",
"restart udisksd once <folder> is unmounted"; "done", or "failed: why"). polkit refuses the test user every
action listed, one a line, in `refused-actions` (the user's file).

Every daemon is stopped by its pid, whatever the program did; processes the test user left behind
are ended by pid as well, and the namespace takes its mounts with it when the last of them ends.

One run at a time on a machine: a second one says that it waits, and waits for the first to end.

Exits 77 (skipped) with the reason on standard output where this machine cannot run it, else with
the program's status. `--tree DIR` names a folder the test user must reach (the source and build
trees); where a folder above it is closed to other users, it is shown at the same path inside the
namespace. `--writable DIR` is a folder (made if missing) that the test user may write for this run,
such as the one screenshots go to.
"""

import ctypes
import json
import os
import pwd
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

SKIP = 77
INSIDE = "LARKHOLD_UDISKS_FIXTURE_INSIDE"
UDISKSD = "/usr/libexec/udisks2/udisksd"
POLKITD = "/usr/lib/polkit-1/polkitd"
UDEVD = "/lib/systemd/systemd-udevd"
PATIENCE = 60.0
# Its own mount, network and process namespaces: udev's events reach only the listeners of its network, and
# the processes a test looks for by name (udevd, udisksd) are this run's alone.
UNSHARE = ["unshare", "--mount", "--net", "--pid", "--fork", "--kill-child=SIGTERM", "--mount-proc",
           "--propagation", "private", "--"]
# Two runs on one machine share the kernel's loop devices, and each udevd handles the other's devices too (it
# holds a block device open while it does): one run at a time, whichever test suite started it.
MACHINE_LOCK = "/run/lock/larkhold-udisks-fixture.lock"

BUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path={socket}</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <deny own="*"/>
    <deny send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus.Introspectable"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus.Properties"/>
  </policy>
  <!-- The end-to-end tests' own stand-in for the login manager runs as the test user. -->
  <policy user="{user}">
    <allow own="org.freedesktop.login1"/>
    <allow send_destination="org.freedesktop.login1"/>
  </policy>
  <includedir>/usr/share/dbus-1/system.d</includedir>
</busconfig>
"""

# No login manager runs here, so polkit never sees the test user in an active local session. The rule gives
# the test user what such a session gets from udisks without asking (its actions whose allow_active is
# "yes"), and nothing more: a tool that needed an administrator's password on a desktop fails here too.
POLKIT_RULES = """polkit.addRule(function(action, subject) {{
    if (subject.user != "{user}") {{
        return polkit.Result.NOT_HANDLED;
    }}
    try {{
        if (polkit.spawn(["/bin/cat", "{refused}"]).split("\\n").indexOf(action.id) >= 0) {{
            return polkit.Result.NO;
        }}
    }} catch (error) {{
    }}
    if ({actions}.indexOf(action.id) >= 0) {{
        return polkit.Result.YES;
    }}
}});
"""
UDISKS_ACTIONS = "/usr/share/polkit-1/actions/org.freedesktop.UDisks2.policy"


def active_session_actions():
    import xml.etree.ElementTree as ElementTree
    granted = []
    for action in ElementTree.parse(UDISKS_ACTIONS).getroot().iter("action"):
        if (action.findtext("defaults/allow_active") or "").strip() == "yes":
            granted.append(action.get("id"))
    return granted

# What udisks needs to know of a loop device (its file system, from blkid), for loop devices over a disk
# served below this run's folder only; every other device passes through untouched. A disk below a folder
# named "unprobed-…" stands for a machine whose udev never looks into loop devices.
UDEV_RULES = """ACTION=="remove", GOTO="larkhold_end"
SUBSYSTEM!="block", GOTO="larkhold_end"
KERNEL!="loop[0-9]*", GOTO="larkhold_end"
TEST!="loop/backing_file", GOTO="larkhold_end"
ATTR{{loop/backing_file}}!="{root}/*", GOTO="larkhold_end"
ATTR{{loop/backing_file}}=="*/unprobed-*", GOTO="larkhold_end"
IMPORT{{builtin}}="blkid"
OPTIONS+="watch"
LABEL="larkhold_end"
"""


PR_SET_PDEATHSIG = 1
_libc = ctypes.CDLL(None, use_errno=True)


def end_with_parent():
    """In a child before exec: it is sent SIGTERM when the fixture ends, whatever ended it."""
    _libc.prctl(PR_SET_PDEATHSIG, signal.SIGTERM, 0, 0, 0)


def skip(reason):
    print(f"SKIPPED: {reason}", flush=True)
    sys.exit(SKIP)


def why_not():
    if os.geteuid() != 0:
        return "a private udisks2 needs root to start"
    if not os.path.exists(UDISKS_ACTIONS):
        return f"{UDISKS_ACTIONS} is missing"
    for program in (UDISKSD, POLKITD, UDEVD, shutil.which("dbus-daemon") or "/usr/bin/dbus-daemon",
                    shutil.which("unshare") or "/usr/bin/unshare",
                    "/usr/bin/fusermount3", "/usr/sbin/mkfs.ext4"):
        if not os.access(program, os.X_OK):
            return f"{program} is not installed"
    for device in ("/dev/loop-control", "/dev/fuse"):
        if not os.path.exists(device):
            return f"{device} is missing"
    probe = subprocess.run(UNSHARE + ["true"],
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, check=False)
    if probe.returncode != 0:
        return "no private mount and network namespace here: " + probe.stderr.decode(errors="replace").strip()
    return None


def live_members(session):
    """The processes of this session that have not ended (a zombie has)."""
    members = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat", encoding="utf-8", errors="replace") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue  # ended meanwhile
        # After the name: state, parent, process group, session.
        if int(fields[3]) == session and fields[0] != "Z":
            members.append(int(entry))
    return members


def wait_until(predicate, what):
    deadline = time.monotonic() + PATIENCE
    while not predicate():
        if time.monotonic() > deadline:
            raise RuntimeError(f"waited {PATIENCE:.0f} s for {what}")
        time.sleep(0.05)


def run(*argv):
    subprocess.run(argv, check=True, stdout=subprocess.DEVNULL)


def mount_tmpfs(where, mode="755", size=None):
    os.makedirs(where, exist_ok=True)
    limit = f",size={size}" if size else ""
    run("mount", "-t", "tmpfs", "-o", f"mode={mode},nosuid,nodev{limit}", "larkhold-fixture", where)


def bind_file(source, target):
    run("mount", "--bind", source, target)


class Fixture:
    def __init__(self, trees, writable):
        self.trees = trees
        self.writable = writable
        self.kept = []  # (private folder, the folder it is shown at)
        self.root = os.path.realpath(tempfile.mkdtemp(prefix="larkhold-udisks-"))
        os.chmod(self.root, 0o755)
        self.logs = os.path.join(self.root, "logs")
        os.makedirs(self.logs)
        self.daemons = []  # (name, Popen), in start order
        self.user = None
        self.uid = None

    # ---- the namespace's own files ----

    def make_user(self):
        taken = {p.pw_uid for p in pwd.getpwall()}
        running = set()
        for entry in os.listdir("/proc"):
            if entry.isdigit():
                try:
                    running.add(os.stat(f"/proc/{entry}").st_uid)
                except OSError:
                    pass
        rng = random.SystemRandom()
        uid = rng.randrange(420000, 520000)
        while uid in taken or uid in running:
            uid = rng.randrange(420000, 520000)
        self.uid = uid
        self.user = f"larkhold-ud{uid}"
        self.home = os.path.join(self.root, "home")
        os.makedirs(self.home, mode=0o700)
        os.chown(self.home, uid, uid)
        for name, line in (("passwd", f"{self.user}:x:{uid}:{uid}:Larkhold test user:{self.home}:/bin/sh\n"),
                           ("group", f"{self.user}:x:{uid}:\n")):
            copy = os.path.join(self.root, name)
            shutil.copyfile(f"/etc/{name}", copy)
            with open(copy, "a", encoding="utf-8") as f:
                f.write(line)
            os.chmod(copy, 0o644)
            bind_file(copy, f"/etc/{name}")

    def private_files(self):
        # fusermount3 lets the user's disk service admit root (udisksd) only where this is allowed. The
        # test user owns this copy, so that a test can play an administrator who did not allow it.
        conf = os.path.join(self.root, "fuse.conf")
        with open(conf, "w", encoding="utf-8") as f:
            f.write("user_allow_other\n")
        os.chmod(conf, 0o644)
        os.chown(conf, self.uid, self.uid)
        if os.path.exists("/etc/fuse.conf"):
            bind_file(conf, "/etc/fuse.conf")
        for folder in ("/media", "/run/udev", "/run/udisks2", "/var/lib/udisks2", "/etc/udev/rules.d",
                       "/etc/polkit-1/rules.d"):
            mount_tmpfs(folder)
        rules = os.path.join(self.root, "udev-rules")
        os.makedirs(rules)
        with open(os.path.join(rules, "60-larkhold-loop.rules"), "w", encoding="utf-8") as f:
            f.write(UDEV_RULES.format(root=self.root))
        bind_file(rules, "/usr/lib/udev/rules.d" if os.path.isdir("/usr/lib/udev/rules.d") else "/lib/udev/rules.d")
        with open("/etc/polkit-1/rules.d/10-larkhold-tests.rules", "w", encoding="utf-8") as f:
            f.write(POLKIT_RULES.format(user=self.user, actions=json.dumps(active_session_actions()),
                                        refused=os.path.join(self.root, "refused-actions")))
        refused = os.path.join(self.root, "refused-actions")
        open(refused, "w", encoding="utf-8").close()
        os.chmod(refused, 0o644)
        os.chown(refused, self.uid, self.uid)
        small = os.path.join(self.root, "small-disk")
        mount_tmpfs(small, "700", "128m")
        os.chown(small, self.uid, self.uid)
        self.scratch = os.path.join(self.root, "tmp")
        os.makedirs(self.scratch)
        os.chown(self.scratch, self.uid, self.uid)
        os.chmod(self.scratch, 0o700)

    def reachable_trees(self):
        """Shows each tree at its own path even where a folder above it is closed to the test user."""
        for tree in self.trees:
            tree = os.path.realpath(tree)
            closed = None
            parts = tree.split("/")
            for i in range(2, len(parts)):
                above = "/".join(parts[:i])
                if not os.stat(above).st_mode & 0o001:
                    closed = above
                    break
            if closed is None:
                continue
            stage = os.path.join(self.root, "stage-" + str(len(os.listdir(self.root))))
            os.makedirs(stage)
            run("mount", "--bind", tree, stage)
            mount_tmpfs(closed)
            os.makedirs(tree, exist_ok=True)
            run("mount", "--move", stage, tree)
        # Shown writable to the test user inside the namespace only: a private folder bound over it.
        for folder in self.writable:
            os.makedirs(folder, exist_ok=True)
            private = os.path.join(self.root, "writable-" + str(len(os.listdir(self.root))))
            os.makedirs(private)
            os.chown(private, self.uid, self.uid)
            run("mount", "--bind", private, folder)
            self.kept.append((private, folder))

    def keep_written(self):
        """What the test user wrote to a writable folder stays there, owned by root like the rest."""
        for private, folder in self.kept:
            subprocess.run(["umount", "-l", folder], check=False)
            for name in os.listdir(private):
                source = os.path.join(private, name)
                if os.path.isfile(source) and not os.path.islink(source):
                    shutil.copyfile(source, os.path.join(folder, name))

    # ---- daemons ----

    def start(self, name, argv, env=None):
        log = open(os.path.join(self.logs, f"{name}.log"), "wb")
        process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                                   env=env or self.env(), start_new_session=True, preexec_fn=end_with_parent)
        log.close()
        self.daemons.append((name, process))
        return process

    def env(self):
        env = {k: v for k, v in os.environ.items() if not k.startswith("DBUS_")}
        env["DBUS_SYSTEM_BUS_ADDRESS"] = self.address
        return env

    def has_owner(self, name):
        r = subprocess.run(["dbus-send", f"--bus={self.address}", "--print-reply", "--dest=org.freedesktop.DBus",
                            "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner", f"string:{name}"],
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, check=False)
        return b"boolean true" in r.stdout

    def alive(self, name):
        process = dict(self.daemons)[name]
        if process.poll() is not None:
            raise RuntimeError(f"{name} ended: " + self.log(name))
        return True

    def log(self, name):
        with open(os.path.join(self.logs, f"{name}.log"), encoding="utf-8", errors="replace") as f:
            return f.read()

    def start_daemons(self):
        socket = os.path.join(self.root, "system_bus_socket")
        self.address = f"unix:path={socket}"
        config = os.path.join(self.root, "system-bus.conf")
        with open(config, "w", encoding="utf-8") as f:
            f.write(BUS_CONFIG.format(socket=socket, user=self.user))
        self.start("dbus", ["dbus-daemon", f"--config-file={config}", "--nofork", "--nopidfile", "--nosyslog"])
        wait_until(lambda: self.alive("dbus") and os.path.exists(socket), "the system bus")
        self.start("polkitd", [POLKITD, "--no-debug"])
        wait_until(lambda: self.alive("polkitd") and self.has_owner("org.freedesktop.PolicyKit1"), "polkitd")
        self.start("udevd", [UDEVD, "--children-max=4"])
        wait_until(lambda: self.alive("udevd") and os.path.exists("/run/udev/control"), "systemd-udevd")
        self.start("udisksd", [UDISKSD])
        wait_until(lambda: self.alive("udisksd") and self.has_owner("org.freedesktop.UDisks2"), "udisksd")

    def restart(self, name, argv, ready, unmounted=None):
        process = dict(self.daemons).get(name)
        if unmounted:
            # Ended the moment the folder has left the mount table, while the unmount writes the volume out.
            deadline = time.monotonic() + PATIENCE
            while any(line.split()[4].replace("\\040", " ") == unmounted
                      for line in open("/proc/self/mountinfo", encoding="utf-8")):
                if time.monotonic() > deadline:
                    raise RuntimeError(f"waited {PATIENCE:.0f} s for {unmounted} to be unmounted")
                time.sleep(0.001)
        if process and process.poll() is None:
            # The whole session: udevd's workers carry its name, and one still alive would pass for a udevd that runs.
            try:
                os.killpg(process.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            process.wait()
            wait_until(lambda: not live_members(process.pid), f"the processes of {name} to end")
        self.daemons = [(n, p) for n, p in self.daemons if n != name]
        if argv:
            self.start(name, argv)
            wait_until(lambda: self.alive(name) and ready(), name)

    def answer(self, request):
        if request == "stop udevd":
            # A process of udev's name stays, as on a machine where other udevs run (a container's, another test's).
            self.restart("udevd", None, None)
            decoy = os.path.join(self.root, "decoy", "systemd-udevd")
            os.makedirs(os.path.dirname(decoy), exist_ok=True)
            shutil.copy(shutil.which("sleep"), decoy)
            self.start("decoy-udevd", [decoy, "infinity"])
        elif request == "start udevd":
            self.restart("decoy-udevd", None, None)
            self.restart("udevd", [UDEVD, "--children-max=4"], lambda: os.path.exists("/run/udev/control"))
        elif request == "stop udisksd":
            self.restart("udisksd", None, None)
        elif request == "restart udisksd" or request.startswith("restart udisksd once "):
            folder = request[len("restart udisksd once "):].removesuffix(" is unmounted") or None
            self.restart("udisksd", [UDISKSD], lambda: self.has_owner("org.freedesktop.UDisks2"), folder)
        else:
            raise RuntimeError(f"unknown request “{request}”")

    def serve_requests(self):
        requests, answers = os.path.join(self.root, "requests"), os.path.join(self.root, "answers")
        for fifo in (requests, answers):
            os.mkfifo(fifo, 0o600)
            os.chown(fifo, self.uid, self.uid)

        def serve():
            while True:
                with open(requests, encoding="utf-8") as incoming:
                    for line in incoming:
                        try:
                            self.answer(line.strip())
                            reply = "done"
                        except Exception as error:  # the program hears of it and fails its test
                            reply = f"failed: {error}"
                        with open(answers, "w", encoding="utf-8") as outgoing:
                            outgoing.write(reply + "\n")

        threading.Thread(target=serve, daemon=True).start()

    def stop_daemons(self):
        for name, process in reversed(self.daemons):
            if process.poll() is None:
                process.send_signal(signal.SIGTERM)
                try:
                    process.wait(timeout=PATIENCE)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
        self.daemons = []

    def end_user_processes(self):
        """The test user exists for this run only: whatever of it still runs was left by the program."""
        for _ in range(3):
            left = []
            for entry in os.listdir("/proc"):
                if entry.isdigit():
                    try:
                        if os.stat(f"/proc/{entry}").st_uid == self.uid:
                            left.append(int(entry))
                    except OSError:
                        pass
            if not left:
                return
            for pid in left:
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
            time.sleep(0.2)

    # ---- the program ----

    def run_program(self, argv):
        env = self.env()
        # A desktop user's PATH on Debian: without the sbin folders, where e2fsprogs lives.
        env.update({"USER": self.user, "LOGNAME": self.user, "HOME": self.home, "TMPDIR": self.scratch,
                    "PATH": "/usr/local/bin:/usr/bin:/bin:/usr/local/games:/usr/games",
                    "LARKHOLD_UDISKS_FIXTURE": self.root})
        for key in ("XDG_RUNTIME_DIR", "LARKHOLD_VOLUME_BACKEND", "LARKHOLD_MOUNT_ROOT"):
            env.pop(key, None)
        def become_user():
            os.setgroups([])
            os.setgid(self.uid)
            os.setuid(self.uid)
            end_with_parent()  # after the change of user, which clears it

        program = subprocess.Popen(argv, env=env, preexec_fn=become_user)
        return program.wait()

    def release_loop_devices(self):
        """Loop devices over this run's disks: their file systems are unmounted, then they are let go."""
        for line in reversed(open("/proc/self/mountinfo", encoding="utf-8").read().splitlines()):
            fields = line.split()
            if fields[4].startswith("/media/"):
                subprocess.run(["umount", "-l", fields[4].replace("\\040", " ")], check=False)
        for name in os.listdir("/sys/block"):
            try:
                with open(f"/sys/block/{name}/loop/backing_file", encoding="utf-8", errors="replace") as f:
                    backing = f.read().strip()
            except OSError:
                continue
            if backing.startswith(self.root + "/"):
                subprocess.run(["losetup", "-d", f"/dev/{name}"], check=False, stderr=subprocess.DEVNULL)

    def dump_logs(self):
        for name in ("dbus", "polkitd", "udevd", "udisksd"):
            path = os.path.join(self.logs, f"{name}.log")
            if os.path.exists(path) and os.path.getsize(path):
                sys.stderr.write(f"---- {name}\n{self.log(name)}\n")


def inside(trees, writable, argv):
    # A time-out ends the fixture with SIGTERM: it still stops its daemons and the user's processes.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(128 + signal.SIGTERM))
    fixture = Fixture(trees, writable)
    status = 1
    try:
        run("mount", "--make-rprivate", "/")
        fixture.make_user()
        fixture.private_files()
        fixture.reachable_trees()
        fixture.start_daemons()
        fixture.serve_requests()
        status = fixture.run_program(argv)
    finally:
        fixture.end_user_processes()
        fixture.release_loop_devices()
        fixture.stop_daemons()
        fixture.keep_written()
        if status != 0 or os.environ.get("LARKHOLD_UDISKS_FIXTURE_LOGS"):
            fixture.dump_logs()
        # The mounts made here vanish with the namespace; the folder they were made from goes now.
        for line in reversed(open("/proc/self/mountinfo", encoding="utf-8").read().splitlines()):
            point = line.split()[4].replace("\\040", " ")
            if point.startswith(fixture.root + "/"):
                subprocess.run(["umount", "-l", point], check=False)
        shutil.rmtree(fixture.root, ignore_errors=True)
    return status


def hold_the_machine():
    """Waits, saying so, while another run of this fixture on this machine is at work; held until this one ends."""
    import fcntl
    os.makedirs(os.path.dirname(MACHINE_LOCK), exist_ok=True)
    held = open(MACHINE_LOCK, "a")  # kept open, and so locked, for the life of the process
    try:
        fcntl.flock(held, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        print("Waiting for another udisks fixture on this machine to end.", flush=True)
        fcntl.flock(held, fcntl.LOCK_EX)
    return held


def main():
    args = sys.argv[1:]
    trees, writable = [], []
    while len(args) > 1 and args[0] in ("--tree", "--writable"):
        (trees if args[0] == "--tree" else writable).append(os.path.realpath(args[1]))
        args = args[2:]
    if not args or args[0] != "--" or len(args) < 2:
        sys.exit(__doc__)
    argv = args[1:]
    if os.environ.get(INSIDE):
        sys.exit(inside(trees, writable, argv))
    reason = why_not()
    if reason:
        skip(reason)
    machine = hold_the_machine()  # noqa: F841 (held until the fixture ends)
    env = dict(os.environ, **{INSIDE: "1"})
    inner = subprocess.Popen(UNSHARE + [sys.executable, os.path.abspath(__file__)] + sys.argv[1:], env=env,
                             preexec_fn=end_with_parent)
    signal.signal(signal.SIGTERM, lambda *_: inner.terminate())
    sys.exit(inner.wait())


if __name__ == "__main__":
    main()
