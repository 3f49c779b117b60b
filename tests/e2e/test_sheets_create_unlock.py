"""Creating vaults through the New Vault sheet and unlocking them in the standalone unlock window, by real key
input on a real desktop."""

import os
import unittest

from harness import VaultRecord
from sheet_steps import SheetScenario

PASSWORD = "river stone 42"


def type_passwords_and_create(case):
    """From the New Vault sheet's password field: both passwords, the keyring left out, then Return."""
    d = case.desktop
    d.type_text(PASSWORD)
    d.key("Tab")
    d.type_text(PASSWORD)
    d.key("Tab", "Tab")  # the hint, then "Remember password in my keyring"
    d.key("space")
    d.screenshot("filled")
    d.key("Return")
    d.wait_window_gone("New Vault", timeout=300)


class CreateStandardVault(SheetScenario):
    def test_create_unlock_write_lock_and_read_back(self):
        d = self.desktop
        self.open_new_vault_sheet()
        d.type_text("Work")
        d.key("Tab", "Tab", "Tab")  # "Choose…", the size, its unit
        d.key("Left")  # MB: 10 GB becomes 4096 MB
        d.key("shift+Tab")  # back to the size, selected
        d.type_text("64")
        d.key("Tab", "Tab")  # the unit (the size is taken), the password
        type_passwords_and_create(self)

        [vault] = d.listed_vaults()
        self.assertEqual(vault["name"], "Work")
        self.assertEqual(vault["kind"], "standard")
        self.assertEqual(vault["maxSizeMB"], 64)
        self.assertTrue(vault["excludedFromCloud"])
        self.assertEqual(os.path.basename(vault["bundlePath"]), "Work.nosync")
        self.assertTrue(os.path.isdir(vault["bundlePath"]))
        self.assertIsNone(d.saved_password(VaultRecord(vault)), "the keyring was left out")

        self.unlock_from_tray("Work", PASSWORD, wrong_password="not the password")
        [mount] = d.wait_mounted()
        with open(os.path.join(mount, "note.txt"), "w", encoding="utf-8") as f:
            f.write("kept inside")
        d.screenshot("unlocked")

        self.lock_all_from_tray()
        d.wait_unmounted()
        d.wait_for_activity("Work locked (manual)")

        self.unlock_from_tray("Work", PASSWORD)
        [mount] = d.wait_mounted()
        with open(os.path.join(mount, "note.txt"), encoding="utf-8") as f:
            self.assertEqual(f.read(), "kept inside")
        self.lock_all_from_tray()
        d.wait_unmounted()


class CreatePocketVault(SheetScenario):
    def test_create_opens_it_then_lock_and_unlock(self):
        d = self.desktop
        self.open_new_vault_sheet()
        d.key("shift+Tab", "Right")  # the kind picker: Pocket Vault
        d.key("Tab")  # the name
        d.type_text("Diary")
        d.key("Tab", "Tab", "Tab")  # "Choose…", the capacity (5 MB), the password
        type_passwords_and_create(self)

        [vault] = d.listed_vaults()
        self.assertEqual(vault["kind"], "pocket")
        self.assertEqual(vault["maxSizeMB"], 5)
        self.assertEqual(os.path.basename(vault["bundlePath"]), "Diary.nosync")
        self.assertTrue(os.path.isfile(vault["bundlePath"]))
        # A new Pocket Vault opens at once.
        d.wait_for_activity("Diary unlocked · password")
        d.screenshot("created")

        self.lock_all_from_tray()
        d.wait_for_activity("Diary locked (manual)")

        self.unlock_from_tray("Diary", PASSWORD, wrong_password="not the password")
        self.lock_all_from_tray()


if __name__ == "__main__":
    unittest.main()
