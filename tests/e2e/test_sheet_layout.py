"""Sheets laid out on a real 1280 × 800 screen with a tray panel and window frames: a sheet at its tallest stays on
the screen with its buttons in the mouse's reach, and a sheet opens at the height its texts need."""

import re
import unittest

from harness import wait_until
from sheet_steps import SheetScenario



PASSWORD = "correct horse battery"
VAULT_SETTINGS = 2  # in the menu of an open vault's card


class SheetLayout(SheetScenario):
    def client_area(self, window):
        """(x, y, width, height) of the window's own area on the screen, without the frame."""
        info = self.desktop._run(["xwininfo", "-id", str(window)], check=True)
        field = lambda name: int(re.search(name + r":\s+(-?\d+)", info).group(1))
        return field("Absolute upper-left X"), field("Absolute upper-left Y"), field("Width"), field("Height")

    def prepare(self):
        d = self.desktop
        self.vault = d.make_standard_vault("Ledger 2026", PASSWORD)
        self.vault["autoOpenAtLaunch"] = True
        d.list_vaults([self.vault])
        d.save_password(self.vault)

    def test_vault_settings_opens_at_the_height_its_captions_need(self):
        d = self.desktop
        d.wait_mounted()
        sheet = self.open_from_card_menu(VAULT_SETTINGS, "Settings for “Ledger 2026”")
        d.screenshot("vault-settings")
        opened = d.window_geometry(sheet)
        # The focus starts in the hint field; three steps back is "Require system authentication to unlock",
        # toggled on and off: the same state, laid out again.
        d.key("shift+Tab", "shift+Tab", "shift+Tab", "space", "space")
        d.screenshot("vault-settings-toggled")
        self.assertEqual(d.window_geometry(sheet), opened, "the sheet must open laid out for its texts")

    def test_the_pocket_new_vault_sheet_with_its_tip_line_fits_and_creates(self):
        d = self.desktop
        sheet = self.open_new_vault_sheet()
        _, _, _, before = d.window_geometry(sheet)
        # From the name field back to the kind picker, then its second half.
        d.key("shift+Tab", "Right", "Tab")
        d.type_text("Diary")
        # Past "Choose…" and the size picker, a password under twelve characters: the meter adds its tip line.
        d.key("Tab", "Tab", "Tab")
        d.type_text("tulip-42")
        d.key("Tab")
        d.type_text("tulip-42")
        wait_until(lambda: d.window_geometry(sheet)[3] != before, "the sheet grown for the Pocket Vault's rows")
        d.screenshot("pocket-tallest")

        x, y, width, height = self.client_area(sheet)
        self.assertGreaterEqual(y, 0)
        self.assertLessEqual(y + height, 800, "the sheet must end on the screen")
        # "Create Vault" sits at the sheet's bottom right corner; a click there creates the vault.
        d.click(x + width - 70, y + height - 35)
        d.wait_window_gone("New Vault")
        wait_until(lambda: any(v["kind"] == "pocket" for v in d.listed_vaults()), "the Pocket Vault in the list")


if __name__ == "__main__":
    unittest.main()
