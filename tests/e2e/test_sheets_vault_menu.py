"""The sheets of a vault's menu on a real desktop: rename, change password, change size limit, verify and move to
the Trash, each by real key input, each checked on the files and by unlocking."""

import os
import unittest

from harness import wait_until
from sheet_steps import SheetScenario

OLD_PASSWORD = "first password 1"
NEW_PASSWORD = "second password 2"

# The kit's green and orange in the light scheme: the verify sheet's healthy and failed results.
HEALTHY_GREEN = (52, 199, 89)
WARNING_ORANGE = (255, 149, 0)

# The first card's menu for a locked standard vault, top to bottom.
RENAME, CHANGE_PASSWORD, CHANGE_SIZE_LIMIT, VERIFY, MOVE_TO_TRASH = 2, 3, 4, 6, 9


class VaultMenuSheets(SheetScenario):
    def prepare(self):
        d = self.desktop
        self.vault = d.make_standard_vault("Taxes", OLD_PASSWORD, size_mb=64)
        d.list_vaults([self.vault])

    def listed(self):
        [vault] = self.desktop.listed_vaults()
        return vault

    def test_rename_rekey_resize_verify_and_trash(self):
        d = self.desktop

        # Rename the locked vault and unlock it under its new name.
        self.open_from_card_menu(RENAME, "Rename “Taxes”")
        d.key("ctrl+a")
        d.type_text("Receipts")
        d.key("Tab")
        d.type_text(OLD_PASSWORD)
        d.key("Return")
        d.wait_window_gone("Rename “Taxes”", timeout=300)
        vault = self.listed()
        self.assertEqual(vault["name"], "Receipts")
        self.assertEqual(vault["bundlePath"], os.path.join(d.vault_dir, "Receipts.sparsebundle"))
        self.assertTrue(os.path.isdir(vault["bundlePath"]))
        self.assertFalse(os.path.exists(self.vault.path))
        self.unlock_from_tray("Receipts", OLD_PASSWORD)
        [mount] = d.wait_mounted()
        self.assertEqual(os.path.basename(mount), "Receipts", "the volume carries the new name")
        self.lock_all_from_tray()
        d.wait_unmounted()

        # A new password: the old one fails, the new one opens it.
        self.open_from_card_menu(CHANGE_PASSWORD, "Change Password")
        d.type_text(OLD_PASSWORD)
        d.key("Tab")
        d.type_text(NEW_PASSWORD)
        d.key("Tab")
        d.type_text(NEW_PASSWORD)
        d.key("Return")
        d.wait_window_gone("Change Password", timeout=300)
        self.unlock_from_tray("Receipts", NEW_PASSWORD, wrong_password=OLD_PASSWORD)
        d.wait_mounted()
        self.lock_all_from_tray()
        d.wait_unmounted()

        # A larger limit, typed in MB.
        self.open_from_card_menu(CHANGE_SIZE_LIMIT, "Change Size Limit")
        d.type_text(NEW_PASSWORD)  # the password field has the focus
        d.key("shift+Tab", "shift+Tab")  # the unit, then the number (selected)
        d.type_text("128")
        d.key("Tab", "Tab")  # the unit (the number is taken), the password
        d.screenshot("resize")
        d.key("Return")
        d.wait_window_gone("Change Size Limit", timeout=300)
        self.assertEqual(self.listed()["maxSizeMB"], 128)

        # Verify: the image is mounted hidden, checked and unmounted; the sheet stays and grows by its result,
        # the healthy one in green.
        sheet = self.open_from_card_menu(VERIFY, "Verify “Receipts”")
        height = d.window_geometry(sheet)[3]
        d.type_text(NEW_PASSWORD)
        d.key("Return")
        wait_until(lambda: d.window_geometry(sheet)[3] > height, "the check's result", timeout=300)
        d.wait_unmounted()
        self.assertEqual(d.find_windows("Verify “Receipts”"), [sheet], "the verify sheet never closes itself")
        self.assertTrue(self.shows_colour(sheet, HEALTHY_GREEN), "the result is the healthy one")
        self.assertFalse(self.shows_colour(sheet, WARNING_ORANGE), "no problem is shown")
        d.screenshot("verified")
        self.activate(sheet)
        d.key("Escape")
        d.wait_window_gone("Verify “Receipts”")

        # Move to the Trash: gone from the list, its bundle in the Trash of this desktop's home.
        self.open_from_card_menu(MOVE_TO_TRASH, "Move “Receipts” to Trash")
        d.type_text(NEW_PASSWORD)
        d.key("Return")
        d.wait_window_gone("Move “Receipts” to Trash", timeout=300)
        self.assertEqual(d.listed_vaults(), [])
        trashed = os.path.join(d.home, ".local", "share", "Trash", "files", "Receipts.sparsebundle")
        self.assertTrue(os.path.isdir(trashed), "the bundle is in the freedesktop Trash")
        self.assertFalse(os.path.exists(vault["bundlePath"]))


if __name__ == "__main__":
    unittest.main()
