"""A desktop portal that offers only the settings a desktop announces, for python-dbusmock.

Loaded with `python3 -m dbusmock --session --template portal_settings.py --parameters '{"color-scheme": 0}'`.
`SetColorScheme(u)` on the mock interface changes the appearance setting and announces it with `SettingChanged`,
as a desktop does when the user switches between light and dark.
"""

import dbus
from dbusmock import MOCK_IFACE, mockobject

BUS_NAME = "org.freedesktop.portal.Desktop"
MAIN_OBJ = "/org/freedesktop/portal/desktop"
MAIN_IFACE = "org.freedesktop.portal.Settings"
SYSTEM_BUS = False

APPEARANCE = "org.freedesktop.appearance"
COLOR_SCHEME = "color-scheme"


def load(mock, parameters):
    mockobject.color_scheme = int(parameters.get("color-scheme", 0))
    mock.AddProperties(MAIN_IFACE, dbus.Dictionary({"version": dbus.UInt32(1)}, signature="sv"))


def _value():
    return dbus.UInt32(mockobject.color_scheme)


@dbus.service.method(MAIN_IFACE, in_signature="ss", out_signature="v")
def Read(_, namespace, key):
    if (namespace, key) != (APPEARANCE, COLOR_SCHEME):
        raise dbus.exceptions.DBusException(f"{namespace} {key} is not known",
                                            name="org.freedesktop.portal.Error.NotFound")
    # The portal's first version wraps the value in a second variant; readers take both.
    return dbus.UInt32(mockobject.color_scheme, variant_level=1)


@dbus.service.method(MAIN_IFACE, in_signature="ss", out_signature="v")
def ReadOne(_, namespace, key):
    if (namespace, key) != (APPEARANCE, COLOR_SCHEME):
        raise dbus.exceptions.DBusException(f"{namespace} {key} is not known",
                                            name="org.freedesktop.portal.Error.NotFound")
    return _value()


@dbus.service.method(MAIN_IFACE, in_signature="as", out_signature="a{sa{sv}}")
def ReadAll(_, namespaces):
    return dbus.Dictionary({APPEARANCE: dbus.Dictionary({COLOR_SCHEME: _value()}, signature="sv")},
                           signature="sa{sv}")


@dbus.service.method(MOCK_IFACE, in_signature="u", out_signature="")
def SetColorScheme(self, value):
    mockobject.color_scheme = int(value)
    self.EmitSignal(MAIN_IFACE, "SettingChanged", "ssv", [APPEARANCE, COLOR_SCHEME, _value()])
