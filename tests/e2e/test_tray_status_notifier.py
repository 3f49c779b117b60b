"""A tray that draws the icon itself (StatusNotifierItem over D-Bus) shows no colour to choose the icon by: the
icon Larkhold publishes reads on a light panel and on a dark one, whichever scheme the desktop is in."""

import os
import sys
import unittest

import dbus

from harness import HERE, PREFER_DARK, PREFER_LIGHT, SCREENSHOT_DIR, DesktopTestCase, wait_until

WATCHER_TEMPLATE = os.path.join(HERE, "sni_watcher.py")
WATCHER = "org.kde.StatusNotifierWatcher"
ITEM = "org.kde.StatusNotifierItem"
PROPERTIES = "org.freedesktop.DBus.Properties"
LIGHT_PANEL, DARK_PANEL = 0xee, 0x22


def standing_out(icon, panel):
    """Pixels of an (width, height, ARGB bytes) icon laid on a grey panel that stand out from it clearly."""
    width, height, data = icon
    count = 0
    for i in range(width * height):
        alpha, red, green, blue = data[4 * i:4 * i + 4]
        grey = (red * 11 + green * 16 + blue * 5) // 32
        shown = (grey * alpha + panel * (255 - alpha)) // 255
        count += abs(shown - panel) >= 100
    return count


class StatusNotifierTray(DesktopTestCase):
    tray = False
    color_scheme = PREFER_LIGHT

    def published_icon(self, item):
        """The icon at 22 pixels, as the tray reads it from the item."""
        pixmaps = item.Get(ITEM, "IconPixmap", dbus_interface=PROPERTIES)
        for width, height, data in pixmaps:
            if (width, height) == (22, 22):
                return int(width), int(height), bytes(data)
        self.fail(f"no 22-pixel icon among {[(int(w), int(h)) for w, h, _ in pixmaps]}")

    def save(self, icon, label):
        """The icon on a light and on a dark panel, four times the size, to build/e2e/."""
        width, height, data = icon
        raw = os.path.join(self.desktop.root, "icon.rgba")
        with open(raw, "wb") as f:
            f.write(b"".join(data[i + 1:i + 4] + data[i:i + 1] for i in range(0, len(data), 4)))
        argv = ["convert"]
        for panel in (LIGHT_PANEL, DARK_PANEL):
            argv += ["(", "-size", "30x30", f"xc:#{panel:02x}{panel:02x}{panel:02x}", "-size", f"{width}x{height}",
                     "-depth", "8", f"rgba:{raw}", "-gravity", "center", "-composite", ")"]
        os.makedirs(SCREENSHOT_DIR, exist_ok=True)
        self.desktop._run(argv + ["+append", "-scale", "400%",
                                  os.path.join(SCREENSHOT_DIR, f"{self.desktop.name}-{label}.png")], check=True)

    def test_the_published_icon_reads_on_light_and_dark_panels_in_either_scheme(self):
        d = self.desktop
        d.spawn("watcher", [sys.executable, "-m", "dbusmock", "--session", "--template", WATCHER_TEMPLATE])
        bus = d.session_bus()
        wait_until(lambda: bus.name_has_owner(WATCHER), "the tray’s watcher")
        d.start_larkhold()
        watcher = bus.get_object(WATCHER, "/StatusNotifierWatcher")
        name = wait_until(lambda: watcher.Get(WATCHER, "RegisteredStatusNotifierItems", dbus_interface=PROPERTIES),
                          "Larkhold’s icon registered with the tray")[0]
        item = bus.get_object(name, "/StatusNotifierItem")

        light_scheme = self.published_icon(item)
        d.set_color_scheme(PREFER_DARK)
        redrawn = lambda: self.published_icon(item) != light_scheme
        wait_until(redrawn, "the icon drawn again for the dark scheme")
        dark_scheme = self.published_icon(item)
        for label, icon in (("light-scheme", light_scheme), ("dark-scheme", dark_scheme)):
            self.save(icon, f"icon-{label}")
            for panel in (LIGHT_PANEL, DARK_PANEL):
                self.assertGreaterEqual(standing_out(icon, panel), 60, f"{label} on a panel of grey {panel:#x}")


if __name__ == "__main__":
    unittest.main()
