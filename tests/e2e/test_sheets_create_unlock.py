"""Creating vaults through the New Vault sheet and unlocking them in the standalone unlock window, by real key
input on a real desktop."""

import os
import unittest

from harness import DesktopTestCase, VaultRecord, wait_until

PASSWORD = "river stone 42"


class SheetScenario(DesktopTestCase):
    def setUp(self):
        super().setUp()
        d = self.desktop
        d.write_settings(menuBarPanel=False)
        d.start_larkhold()

    def open_new_vault_sheet(self):
        d = self.desktop
        d.xdotool("windowactivate", "--sync", d.wait_for_window("Larkhold"))
        d.key("ctrl+n")
        d.wait_for_window("New Vault")

    def type_passwords_and_create(self):
        """From the password field: both passwords, the keyring left out, then Return."""
        d = self.desktop
        d.type_text(PASSWORD)
        d.key("Tab")
        d.type_text(PASSWORD)
        d.key("Tab", "Tab")  # the hint, then "Remember password in my keyring"
        d.key("space")
        d.screenshot("filled")
        d.key("Return")
        d.wait_window_gone("New Vault", timeout=300)

    def dismiss_error_alert(self):
        """Waits for the main window's error alert (a second window titled "Larkhold") and answers it."""
        d = self.desktop
        main = d.wait_for_window("Larkhold")
        alert = wait_until(lambda: [w for w in d.find_windows("Larkhold") if w != main], "the error alert")[0]
        d.screenshot("error")
        d.xdotool("windowactivate", "--sync", alert)
        d.key("Return")
        wait_until(lambda: d.find_windows("Larkhold") == [main], "the alert answered")

    def unlock_from_tray(self, name, wrong_first=False):
        """The tray menu's first entry unlocks the vault; without a saved password the unlock window asks."""
        d = self.desktop
        d.click_tray_icon()
        d.key("Down", "Return")
        prompt = d.wait_for_window("Unlock Vault")
        # The unlock window is the only prompt: the main window shows none of its own.
        self.assertEqual(d.find_windows(f"Unlock “{name}”"), [])
        if wrong_first:
            d.type_text("not the password")
            d.key("Return")
            # The failure is told (the window says it too) and the window stays, with the typed text.
            self.dismiss_error_alert()
            self.assertEqual(d.find_windows("Unlock Vault"), [prompt])
            self.assertEqual(d.mounts(), [])
            d.xdotool("windowactivate", "--sync", prompt)
            d.key("ctrl+a", "BackSpace")
        d.type_text(PASSWORD)
        d.key("Return")
        d.wait_window_gone("Unlock Vault")
        d.wait_for_activity(f"{name} unlocked · password")

    def lock_all_from_tray(self):
        d = self.desktop
        d.click_tray_icon()
        d.key("Down", "Down", "Return")  # the open vault's submenu, then "Lock All"


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
        self.type_passwords_and_create()

        [vault] = d.listed_vaults()
        self.assertEqual(vault["name"], "Work")
        self.assertEqual(vault["kind"], "standard")
        self.assertEqual(vault["maxSizeMB"], 64)
        self.assertTrue(vault["excludedFromCloud"])
        self.assertEqual(os.path.basename(vault["bundlePath"]), "Work.nosync")
        self.assertTrue(os.path.isdir(vault["bundlePath"]))
        self.assertIsNone(d.saved_password(VaultRecord(vault)), "the keyring was left out")

        self.unlock_from_tray("Work", wrong_first=True)
        [mount] = d.wait_mounted()
        with open(os.path.join(mount, "note.txt"), "w", encoding="utf-8") as f:
            f.write("kept inside")
        d.screenshot("unlocked")

        self.lock_all_from_tray()
        d.wait_unmounted()
        d.wait_for_activity("Work locked (manual)")

        self.unlock_from_tray("Work")
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
        self.type_passwords_and_create()

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

        self.unlock_from_tray("Diary", wrong_first=True)
        self.lock_all_from_tray()


if __name__ == "__main__":
    unittest.main()
