"""Light and dark on a real X server: when the desktop switches its colour scheme, every window that follows the
system switches with it at once, without a restart."""

import unittest

from harness import PREFER_DARK, PREFER_LIGHT, wait_until
from sheet_steps import SheetScenario

PASSWORD = "correct horse battery"


class LiveColourScheme(SheetScenario):
    color_scheme = PREFER_LIGHT

    def prepare(self):
        d = self.desktop
        self.vault = d.make_standard_vault("Ledger 2026", PASSWORD)
        d.list_vaults([self.vault])
        d.write_settings(menuBarPanel=True)

    def wait_scheme(self, windows, dark):
        """Waits until a corner of each window (where no other window lies) is drawn in the scheme."""
        d = self.desktop
        word = "dark" if dark else "light"
        for name, window in windows.items():
            x, y, width, height = d.window_geometry(window)
            corner = (x + 4, y + 4, min(120, width - 8, 1280 - x - 8), min(120, height - 8))
            wait_until(lambda: (d.lightness(area=corner) < 100) == dark, f"the {name} drawn {word}")

    def icon_contrast(self):
        """How far the tray icon's drawing stands out from the tray's background at its corner (0 … 1)."""
        d = self.desktop
        x, y, width, height = d.wait_for_tray_icon()
        shot = d.screenshot("tray")
        area = f"{width}x{height}+{x}+{y}"
        values = d._run(["convert", shot, "-crop", area, "+repage", "-colorspace", "Gray", "-format",
                         "%[fx:minima] %[fx:maxima] %[fx:p{1,1}]", "info:"], check=True).split()
        low, high, background = (float(v) for v in values)
        return max(background - low, high - background)

    def test_the_tray_icon_stands_out_from_the_tray_whatever_the_desktop_scheme(self):
        d = self.desktop
        # The tray host's panel is light in both schemes.
        wait_until(lambda: self.icon_contrast() > 0.4, "the icon drawn dark on the light tray")
        d.set_color_scheme(PREFER_DARK)
        self.wait_scheme({"main window": self.main_window()}, dark=True)
        wait_until(lambda: self.icon_contrast() > 0.4, "the icon still drawn dark on the light tray")
        d.screenshot("dark-desktop-light-tray")

    def test_every_window_follows_a_switch_between_light_and_dark(self):
        d = self.desktop
        main = self.main_window()
        d.xdotool("windowmove", "--sync", main, 8, 40)
        self.activate(main)
        d.key("ctrl+comma")
        settings = self.wait_and_activate("Settings")
        d.xdotool("windowmove", "--sync", settings, 990, 40)
        sheet = self.open_new_vault_sheet()
        # Side by side, so that each shows a part of its own.
        d.xdotool("windowmove", "--sync", sheet, 520, 40)
        windows = {"main window": main, "settings window": settings, "New Vault sheet": sheet}
        self.wait_scheme(windows, dark=False)
        d.screenshot("light")

        d.set_color_scheme(PREFER_DARK)
        self.wait_scheme(windows, dark=True)
        d.screenshot("dark")
        # The tray's panel opens in the scheme in force now.
        d.click_tray_icon()
        panel = d.wait_for_window("Larkhold Panel")
        self.wait_scheme({"tray panel": panel}, dark=True)
        d.screenshot("dark-panel")

        # And back, while the panel is open.
        d.set_color_scheme(PREFER_LIGHT)
        self.wait_scheme({"tray panel": panel}, dark=False)
        d.key("Escape")
        d.wait_window_gone("Larkhold Panel")
        self.wait_scheme(windows, dark=False)
        d.screenshot("light-again")


if __name__ == "__main__":
    unittest.main()
