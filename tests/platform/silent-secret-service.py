#!/usr/bin/python3
"""A Secret Service that has stopped answering: it owns org.freedesktop.secrets on the session bus and keeps
every call made to it without ever replying, as a stalled keyring daemon does. It prints "ready" once it owns
the name and "held N" whenever it holds one call more, and ends when its standard input closes."""
import sys

import dbus
import dbus.lowlevel
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
bus = dbus.SessionBus()
held = []


def hold(_bus, message):
    if message.get_type() != dbus.lowlevel.MESSAGE_TYPE_METHOD_CALL:
        return dbus.lowlevel.HANDLER_RESULT_NOT_YET_HANDLED
    held.append(message)
    print(f"held {len(held)}", flush=True)
    return dbus.lowlevel.HANDLER_RESULT_HANDLED


bus.add_message_filter(hold)
name = dbus.service.BusName("org.freedesktop.secrets", bus)
print("ready", flush=True)

loop = GLib.MainLoop()


def read_input(fd, _condition):
    if sys.stdin.buffer.raw.read(256):
        return True
    loop.quit()
    return False


GLib.io_add_watch(sys.stdin.fileno(), GLib.IO_IN | GLib.IO_HUP, read_input)
loop.run()
