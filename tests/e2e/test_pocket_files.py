"""Pocket Vault files through the real file panel: a file added with Add Existing Vault… or located after a move,
by a typed path or by a double-click on its row, takes its place in the list, and opens and locks."""

import os

from harness import wait_until
from sheet_steps import FIRST_CARD, SheetScenario
from test_pocket import NEW_NOTE_X, NOTE_AREA, SIDEBAR_BUTTONS_Y, click_inside, make_pocket_vault

PASSWORD = "ledger password 7"
# Inside the open panel (Qt's own, at its first size): the first row of its file list, the home folder in its
# sidebar.
FIRST_ROW = (187, 91)
HOME_PLACE = (60, 101)
LOCATE = 1  # the first entry of the card's menu while the vault file is missing


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


class PocketVaultFiles(SheetScenario):
    def open_panel(self, open_it):
        d = self.desktop
        before = self.visible_windows()
        open_it()
        panel = wait_until(lambda: [w for w in self.visible_windows() - before
                                    if d.window_geometry(w)[2] > 300], "the file panel")[0]
        return self.activate(panel)

    def type_path(self, panel, path):
        d = self.desktop
        d.key("ctrl+a")
        d.type_text(path)
        d.key("Return")
        self.wait_panel_gone(panel)

    def double_click_first_row(self, panel):
        d = self.desktop
        d.screenshot("panel")
        d.xdotool("mousemove", "--window", panel, "--sync", *FIRST_ROW, "click", "--repeat", "2", 1)
        self.wait_panel_gone(panel)

    def wait_panel_gone(self, panel):
        wait_until(lambda: panel not in self.visible_windows(), "the panel closed")

    def add_existing(self):
        d = self.desktop

        def from_tray():
            self.popup(d.click_tray_icon)
            d.key("Down", "Return")  # with no vault listed, "Add Existing Vault…" is the first entry to take
        return self.open_panel(from_tray)

    def locate(self):
        d = self.desktop
        return self.open_panel(lambda: (self.popup(lambda: d.click_window(self.main_window(), *FIRST_CARD, button=3)),
                                        d.key(*(["Down"] * LOCATE), "Return")))

    def wait_listed(self, path):
        wait_until(lambda: [v["bundlePath"] for v in self.desktop.listed_vaults()] == [path], f"{path} listed")

    def moved_vault(self):
        """A listed Pocket Vault whose file was renamed in its folder; returns its new path."""
        d = self.desktop
        vault = make_pocket_vault(d, "Ledger", PASSWORD)
        d.list_vaults([vault])
        moved = os.path.join(d.vault_dir, "Ledger (moved).pocketvault")
        os.rename(vault.path, moved)
        return moved


class AddExisting(PocketVaultFiles):
    def test_a_typed_path_adds_the_vault_which_then_opens_and_locks(self):
        d = self.desktop
        vault = make_pocket_vault(d, "Ledger", PASSWORD)
        self.type_path(self.add_existing(), vault.path)
        self.wait_listed(vault.path)

        self.unlock_from_tray("Ledger", PASSWORD)
        pocket = self.wait_and_activate("Ledger")
        d.close_window(pocket)
        d.wait_for_activity("Ledger locked (manual)")

    def test_a_double_click_adds_the_vault(self):
        d = self.desktop
        vault = make_pocket_vault(d, "Ledger", PASSWORD)
        path = os.path.join(d.home, "Ledger.pocketvault")
        os.rename(vault.path, path)
        panel = self.add_existing()
        click_inside(d, panel, *HOME_PLACE)
        self.double_click_first_row(panel)
        self.wait_listed(path)


class Locate(PocketVaultFiles):
    def prepare(self):
        self.moved = self.moved_vault()

    def test_a_typed_path_locates_the_moved_vault(self):
        self.type_path(self.locate(), self.moved)
        self.wait_listed(self.moved)

    def test_a_double_click_locates_the_moved_vault(self):
        self.double_click_first_row(self.locate())
        self.wait_listed(self.moved)


class ChangedElsewhere(PocketVaultFiles):
    """Another computer's version of an open vault arrives: Lock asks once how to keep the edits, whose footer
    sentence shows whole, and the copy's panel opens in the vault's folder."""

    def prepare(self):
        d = self.desktop
        self.vault = make_pocket_vault(d, "Ledger", PASSWORD)
        self.other = make_pocket_vault(d, "Other", "other password 9")
        d.list_vaults([self.vault])

    def test_lock_says_in_one_alert_how_to_keep_the_edits_and_a_copy_lets_it_lock(self):
        d = self.desktop
        self.unlock_from_tray("Ledger", PASSWORD)
        pocket = self.wait_and_activate("Ledger")
        before = read_bytes(self.vault.path)
        click_inside(d, pocket, NEW_NOTE_X, SIDEBAR_BUTTONS_Y)
        click_inside(d, pocket, *NOTE_AREA)
        d.type_text("Rent paid")
        wait_until(lambda: read_bytes(self.vault.path) != before, "the note saved")
        # Another computer's version arrives through a sync.
        os.replace(self.other.path, self.vault.path)
        theirs = read_bytes(self.vault.path)
        d.type_text(" in March")

        windows = self.visible_windows()
        self.activate(pocket)
        d.key("ctrl+l")
        alert = wait_until(lambda: self.visible_windows() - windows, "the alert")
        d.screenshot("alert")
        self.assertEqual(len(alert), 1, "one alert")
        self.activate(list(alert)[0])
        d.key("Return")  # "Save a Copy…"
        self.wait_and_activate("Save a Copy")
        d.key("Return")  # the proposed name, in the vault's own folder
        d.wait_window_gone("Save a Copy")
        d.wait_for_activity("Ledger locked (manual)")
        d.wait_window_gone("Ledger")
        copy = os.path.join(d.vault_dir, "Ledger copy.pocketvault")
        self.assertTrue(os.path.exists(copy))
        self.assertEqual(read_bytes(self.vault.path), theirs, "the other version stays")
