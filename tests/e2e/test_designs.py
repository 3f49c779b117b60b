"""The four home designs on a real X server: each comes up at its own size, and a design chosen in the settings
window swaps the main window's design at once."""

import os
import unittest

from harness import DesktopTestCase, wait_until

# The design each "appTheme" value gives, with the size the main window takes for it.
DESIGNS = [
    ("classic", (500, 460)),
    ("nativePro", (760, 520)),
    ("nightWatch", (700, 600)),
    ("softFocus", (700, 560)),
]

SOURCE_DIR = os.environ.get("LARKHOLD_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
HAS_SETTINGS_WINDOW = os.path.exists(os.path.join(SOURCE_DIR, "src", "app", "settings", "SettingsWindow.h"))


class Designs(DesktopTestCase):
    def setUp(self):
        super().setUp()
        d = self.desktop
        self.work = d.make_standard_vault("Work Documents", "correct horse battery")
        self.notes = d.make_standard_vault("Taxes 2024", "correct horse battery")
        d.list_vaults([self.work, self.notes])
        d.write_settings(menuBarPanel=False)

    def main_window_size(self):
        main = self.desktop.wait_for_window("Larkhold")
        return self.desktop.window_geometry(main)[2:]

    def wait_for_size(self, size, what):
        wait_until(lambda: self.main_window_size() == size, f"the main window at {size[0]} × {size[1]} ({what})")

    def test_each_design_comes_up_at_its_size(self):
        d = self.desktop
        for raw, size in DESIGNS:
            d.write_settings(appTheme=raw)
            d.start_larkhold()
            self.wait_for_size(size, raw)
            d.screenshot(raw)
            d.signal_larkhold()
            self.assertEqual(d.wait_larkhold_exit(), 0)
            d.wait_window_gone("Larkhold")

    @unittest.skipUnless(HAS_SETTINGS_WINDOW, "this build has no settings window yet")
    def test_choosing_a_design_in_the_settings_window_swaps_it_at_once(self):
        d = self.desktop
        d.start_larkhold()
        main = d.wait_for_window("Larkhold")
        self.wait_for_size(DESIGNS[0][1], "classic")
        d.xdotool("windowmove", "--sync", main, 8, 40)
        d.xdotool("windowactivate", "--sync", main)
        d.key("ctrl+comma")
        settings = d.wait_for_window("Settings")
        # Beside the main window, so that the screenshots show both.
        d.xdotool("windowmove", "--sync", settings, 790, 40)
        d.xdotool("windowactivate", "--sync", settings)
        d.screenshot("classic")
        # The window opens with the design picker focused; each Down chooses the next design.
        for raw, size in DESIGNS[1:]:
            d.key("Down")
            wait_until(lambda: d.read_setting("appTheme") == raw, f"“{raw}” stored")
            self.wait_for_size(size, raw)
            d.screenshot(raw)
        self.assertEqual(d.find_windows("Larkhold"), [main], "the same main window, its design swapped")


if __name__ == "__main__":
    unittest.main()
