"""A tray that draws the icons itself: a StatusNotifierItem watcher with a host registered, for python-dbusmock.

Loaded with `python3 -m dbusmock --session --template sni_watcher.py`. Items that register are listed in the
`RegisteredStatusNotifierItems` property, by the bus name they give.
"""

import dbus
from dbusmock import mockobject

BUS_NAME = "org.kde.StatusNotifierWatcher"
MAIN_OBJ = "/StatusNotifierWatcher"
MAIN_IFACE = "org.kde.StatusNotifierWatcher"
SYSTEM_BUS = False


def load(mock, parameters):
    mockobject.items = []
    mock.AddProperties(MAIN_IFACE, dbus.Dictionary({
        "IsStatusNotifierHostRegistered": dbus.Boolean(True),
        "ProtocolVersion": dbus.Int32(0),
        "RegisteredStatusNotifierItems": dbus.Array([], signature="s"),
    }, signature="sv"))


@dbus.service.method(MAIN_IFACE, in_signature="s", out_signature="")
def RegisterStatusNotifierItem(self, service):
    mockobject.items.append(str(service))
    self.Set(MAIN_IFACE, "RegisteredStatusNotifierItems", dbus.Array(mockobject.items, signature="s"))
    self.EmitSignal(MAIN_IFACE, "StatusNotifierItemRegistered", "s", [service])

