"""python-dbusmock's logind, with a record of every inhibitor release.

Each release notes which volumes under the test's mount root were mounted at that moment, so that a test can
tell whether the vaults were locked before the sleep was let go. Loaded with
`python3 -m dbusmock --system --template logind_recording.py --parameters '{"mount_root": ...}'`.
"""

import os

import dbus
from dbusmock import MOCK_IFACE, mockobject
from dbusmock.templates import logind as base
from gi.repository import GLib

BUS_NAME = base.BUS_NAME
MAIN_OBJ = base.MAIN_OBJ
MAIN_IFACE = base.MAIN_IFACE
SYSTEM_BUS = base.SYSTEM_BUS

ListUsers = base.ListUsers
ListSessions = base.ListSessions
ListInhibitors = base.ListInhibitors
AddSeat = base.AddSeat
AddUser = base.AddUser
AddSession = base.AddSession


def _mounted(root):
    mounts = []
    with open("/proc/self/mountinfo", encoding="utf-8", errors="replace") as f:
        for line in f:
            point = line.split()[4].replace("\\040", " ")
            if root and point.startswith(root + "/"):
                mounts.append(point)
    return mounts


def load(mock, parameters):
    base.load(mock, parameters)
    mockobject.mount_root = parameters.get("mount_root", "")
    mockobject.releases = []


@dbus.service.method(MAIN_IFACE, in_signature="ssss", out_signature="h")
def Inhibit(_, what, who, why, mode):
    if not hasattr(mockobject, "inhibitors"):
        mockobject.inhibitors = []
    fd_r, fd_w = os.pipe()
    inhibitor = (what, who, why, mode, 1000, 123456)
    mockobject.inhibitors.append(inhibitor)

    def dropped(fd, _condition):
        # The moment the holder closed its descriptor: what is still mounted now was mounted at release.
        mockobject.releases.append((what, who, mode, _mounted(mockobject.mount_root)))
        os.close(fd)
        mockobject.inhibitors.remove(inhibitor)
        return False

    GLib.unix_fd_add_full(GLib.PRIORITY_HIGH, fd_r, GLib.IO_HUP, dropped)
    GLib.idle_add(os.close, fd_w)
    return fd_w


@dbus.service.method(MOCK_IFACE, in_signature="", out_signature="a(sssas)")
def Releases(_):
    return dbus.Array([(w, who, m, dbus.Array(points, signature="s")) for (w, who, m, points) in mockobject.releases],
                      signature="(sssas)")
