"""The locate panel on a real desktop: opened from a card whose vault file is gone, it keeps its message inside the
panel, where the whole sentence shows, and out of its title bar."""

import os
import unittest

from harness import wait_until
from sheet_steps import FIRST_CARD, SheetScenario

MESSAGE = "Choose the vault file for “V05” (.sparsebundle or .nosync)."
LOCATE = 1  # the first entry of the card's menu while the vault file is missing


class LocatePanel(SheetScenario):
    def prepare(self):
        d = self.desktop
        vault = d.make_standard_vault("V05", "pw-v05")
        # Moved away in the file manager: the folder is still there, the file is not.
        os.rename(vault.path, vault.path + ".moved")
        d.list_vaults([vault])

    def test_the_message_is_inside_the_panel_not_its_title(self):
        d = self.desktop
        main = self.activate(self.main_window())
        before = self.visible_windows()
        self.popup(lambda: d.click_window(main, *FIRST_CARD, button=3))
        d.key(*(["Down"] * LOCATE), "Return")
        panel = wait_until(lambda: [w for w in self.visible_windows() - before
                                    if d.window_geometry(w)[2] > 300], "the locate panel")[0]
        d.screenshot("locate-panel")
        title = d.xdotool("getwindowname", panel).strip()
        self.assertNotIn("Choose the vault file", title)
        self.assertNotIn(MESSAGE, title)
        d.key("Escape")


if __name__ == "__main__":
    unittest.main()
