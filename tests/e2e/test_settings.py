"""The panic shortcut on a real X server: pressed anywhere it locks every vault; the settings window records a new one
from real key presses, and the old combination goes back to the desktop."""

import ctypes
import ctypes.util
import unittest

from harness import DesktopTestCase, wait_until

PASSWORD = "correct horse battery"

# X modifier bits.
SHIFT, LOCK, CONTROL, MOD1, MOD2, MOD4 = 1, 2, 4, 8, 16, 64


_HANDLER_TYPE = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)
_errors = []
# Kept for the life of the process: Xlib calls it whenever a request fails.
_handler = _HANDLER_TYPE(lambda _display, _event: _errors.append(1) or 0)


def combination_is_free(display, key, modifiers):
    """Whether another client could take the combination now: grabs it in the four lock-key variants, as the
    application does, and gives it back at once."""
    lib = ctypes.CDLL(ctypes.util.find_library("X11") or "libX11.so.6")
    lib.XOpenDisplay.restype = ctypes.c_void_p
    lib.XOpenDisplay.argtypes = [ctypes.c_char_p]
    lib.XDefaultRootWindow.restype = ctypes.c_ulong
    lib.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
    lib.XStringToKeysym.restype = ctypes.c_ulong
    lib.XStringToKeysym.argtypes = [ctypes.c_char_p]
    lib.XKeysymToKeycode.restype = ctypes.c_ubyte
    lib.XKeysymToKeycode.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
    lib.XGrabKey.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_uint, ctypes.c_ulong, ctypes.c_int,
                             ctypes.c_int, ctypes.c_int]
    lib.XUngrabKey.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_uint, ctypes.c_ulong]
    lib.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
    lib.XCloseDisplay.argtypes = [ctypes.c_void_p]
    lib.XSetErrorHandler.restype = ctypes.c_void_p
    lib.XSetErrorHandler.argtypes = [_HANDLER_TYPE]
    lib.XSetErrorHandler(_handler)
    _errors.clear()
    dpy = lib.XOpenDisplay(display.encode())
    if not dpy:
        raise AssertionError(f"cannot open display {display}")
    try:
        root = lib.XDefaultRootWindow(dpy)
        code = lib.XKeysymToKeycode(dpy, lib.XStringToKeysym(key.encode()))
        variants = [modifiers | extra for extra in (0, LOCK, MOD2, LOCK | MOD2)]
        for mask in variants:
            lib.XGrabKey(dpy, code, mask, root, 1, 1, 1)
        lib.XSync(dpy, 0)
        for mask in variants:
            lib.XUngrabKey(dpy, code, mask, root)
        lib.XSync(dpy, 0)
        return not _errors
    finally:
        lib.XCloseDisplay(dpy)


class PanicShortcut(DesktopTestCase):
    def setUp(self):
        super().setUp()
        d = self.desktop
        self.vault = d.make_standard_vault("Panic", PASSWORD)
        d.list_vaults([self.vault])
        d.save_password(self.vault)
        d.write_settings(menuBarPanel=False)
        d.start_larkhold()

    def unlock(self):
        d = self.desktop
        d.click_tray_icon()
        # The first entry of the plain menu is the vault's "Unlock “Panic”".
        d.key("Down", "Return")
        self.assertEqual(len(d.wait_mounted()), 1)
        wait_until(lambda: any(text.startswith("Panic unlocked") for text in d.activity()), "the vault unlocked")

    def locks_on(self, keys):
        d = self.desktop
        locks = d.activity().count("Panic locked (panic shortcut)")
        d.key(keys)
        d.wait_unmounted()
        wait_until(lambda: d.activity().count("Panic locked (panic shortcut)") == locks + 1,
                   "the panic lock in the activity list")

    def test_the_default_combination_locks_an_open_vault(self):
        d = self.desktop
        self.unlock()
        self.assertFalse(combination_is_free(d.display, "l", CONTROL | MOD1 | MOD4),
                         "Ctrl+Alt+Super+L should be held by larkhold")
        self.locks_on("ctrl+alt+super+l")
        d.screenshot("locked")

    def test_a_combination_recorded_in_the_settings_window_replaces_it(self):
        d = self.desktop
        main = d.wait_for_window("Larkhold")
        d.xdotool("windowactivate", "--sync", str(main))
        d.key("ctrl+comma")
        settings = d.wait_for_window("Settings")
        d.xdotool("windowactivate", "--sync", str(settings))
        # The window opens with the design picker focused; the recorder is the eighth control in tab order:
        # design, automatic locking, after, screen lock, sleep, quit, the panic switch, the recorder.
        d.key(*(["Tab"] * 7), "space")
        d.key("ctrl+alt+j")
        # The key code and the modifiers are written one after the other: both are waited for.
        wait_until(lambda: d.read_setting("panicKeyCode") in (38, "38")
                   and d.read_setting("panicModifiers") in (0x1800, "6144"),
                   "the recorded key code of J with Ctrl+Alt")
        d.screenshot("recorded")

        # The old combination is back with the desktop; the new one is ours.
        wait_until(lambda: combination_is_free(d.display, "l", CONTROL | MOD1 | MOD4),
                   "Ctrl+Alt+Super+L given back")
        self.assertFalse(combination_is_free(d.display, "j", CONTROL | MOD1))
        self.unlock()
        self.locks_on("ctrl+alt+j")


if __name__ == "__main__":
    unittest.main()
