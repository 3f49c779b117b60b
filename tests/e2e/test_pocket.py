"""Pocket Vaults on a real desktop: files handed to a running Larkhold go into the chosen Pocket Vault, and a note
typed into a new Pocket Vault survives closing its window and unlocking it again."""

import os
import subprocess
import time
import uuid

from harness import BUILD_DIR, REFERENCE_EPOCH, DesktopTestCase, VaultRecord, wait_until
from sheet_steps import SheetScenario

POCKET_TOOL = os.path.join(BUILD_DIR, "tests", "pocketui", "larkhold-e2e-pocket-vault")

# Where things are inside a Pocket window (its layout is fixed; sizes in pixels of the window's content).
HEADER_HEIGHT = 62          # the name row and the line beneath it
SIDEBAR_BUTTONS_Y = HEADER_HEIGHT + 22
NEW_NOTE_X = 62
ITEM_HEADER_Y = HEADER_HEIGHT + 22
EXPORT_FROM_RIGHT = 82      # the export button's centre, from the window's right edge


def make_pocket_vault(desktop, name, password, capacity_mb=1):
    """A Pocket Vault file made as the application makes one, in the desktop's vault folder."""
    path = os.path.join(desktop.vault_dir, f"{name}.pocketvault")
    result = subprocess.run([POCKET_TOOL, path, str(capacity_mb)], input=(password + "\n").encode(),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=desktop.env, timeout=300)
    if result.returncode != 0:
        raise RuntimeError("making the Pocket Vault failed: " + result.stderr.decode(errors="replace"))
    record = VaultRecord(id=str(uuid.uuid4()).upper(), kind="pocket", name=name, bundlePath=path,
                         maxSizeMB=capacity_mb, createdAt=time.time() - REFERENCE_EPOCH, excludedFromCloud=False,
                         requireTouchID=False, openInFinderAfterUnlock=True, autoOpenAtLaunch=False)
    record.password = password
    return record


NOTE_AREA = (480, 260)      # somewhere in the note's text, below the item's name


def click_inside(desktop, window, x, y):
    """Clicks at (x, y) of the window's own content, whatever the window manager's frame adds."""
    desktop.xdotool("mousemove", "--window", window, "--sync", x, y, "click", 1)


def content_width(desktop, window):
    values = dict(line.split("=", 1) for line in desktop.xdotool("getwindowgeometry", "--shell", window).split()
                  if "=" in line)
    return int(values["WIDTH"])


def export_selected_item(desktop, window, target):
    """Exports the item the Pocket window shows to `target` through its save panel; returns the bytes written."""
    click_inside(desktop, window, content_width(desktop, window) - EXPORT_FROM_RIGHT, ITEM_HEADER_Y)
    panel = desktop.wait_for_window("Export")
    desktop.xdotool("windowactivate", "--sync", panel)
    desktop.key("ctrl+a")
    desktop.type_text(target)
    desktop.key("Return")
    desktop.wait_window_gone("Export")
    wait_until(lambda: os.path.exists(target), f"the exported file {target}")
    with open(target, "rb") as f:
        return f.read()


class AddToPocketVault(DesktopTestCase):
    def test_a_second_start_brings_its_file_into_the_chosen_pocket_vault(self):
        d = self.desktop
        first = make_pocket_vault(d, "Travel", "first vault password")
        chosen = make_pocket_vault(d, "Diary", "second vault password")
        d.list_vaults([first, chosen])
        d.start_larkhold()

        note = os.path.join(d.root, "Harbour.txt")
        with open(note, "w", encoding="utf-8") as f:
            f.write("Meet at the harbour at noon, by the blue boat.\n")
        handed = d.run_larkhold(note)
        self.assertEqual(handed.returncode, 0, handed.stderr.decode(errors="replace"))

        window = d.wait_for_window("Add to Vault")
        d.xdotool("windowactivate", "--sync", window)
        # The vault picker has the focus: the second vault, then its password.
        d.key("Down")
        d.key("Tab")
        d.type_text("second vault password")
        d.key("Return")
        d.wait_window_gone("Add to Vault")
        d.wait_for_activity("Diary unlocked · password")
        d.screenshot("imported")

        pocket = d.wait_for_window("Diary")
        self.assertFalse(d.find_windows("Travel"), "only the chosen vault opens")
        self.assertTrue(os.path.exists(note), "copying leaves the original where it was")
        exported = export_selected_item(d, pocket, os.path.join(d.root, "exported.txt"))
        self.assertEqual(exported, b"Meet at the harbour at noon, by the blue boat.\n")

        # Closing the window locks the vault.
        d.close_window(pocket)
        d.wait_window_gone("Diary")
        d.wait_for_activity("Diary locked (manual)")


class PocketNoteRoundTrip(SheetScenario):
    def test_a_typed_note_survives_closing_the_window_and_unlocking_again(self):
        d = self.desktop
        password = "lantern orchard 42"
        text = "Spare key is under the third flower pot."

        # A new Pocket Vault, made through the New Vault sheet; it opens in its own window.
        self.open_new_vault_sheet()
        d.key("shift+Tab", "Right")  # the kind picker: Pocket Vault
        d.key("Tab")  # the name
        d.type_text("Diary")
        d.key("Tab", "Tab", "Tab")  # "Choose…", the capacity, the password
        d.type_text(password)
        d.key("Tab")
        d.type_text(password)
        d.key("Tab", "Tab")  # the hint, then "Remember password in my keyring"
        d.key("space")  # off: the password is typed again below
        d.key("Return")
        d.wait_window_gone("New Vault", timeout=300)
        pocket = self.wait_and_activate("Diary")
        # With a vault open, no crash of the program writes its memory to a core file.
        with open(f"/proc/{d.larkhold.pid}/limits") as limits:
            core = next(line for line in limits if line.startswith("Max core file size")).split()
        self.assertEqual(core[4:6], ["0", "0"])

        # A note, typed by real key input.
        click_inside(d, pocket, NEW_NOTE_X, SIDEBAR_BUTTONS_Y)
        click_inside(d, pocket, *NOTE_AREA)
        d.type_text(text)
        d.screenshot("typed")

        # Closing the window locks the vault, after saving what was typed.
        d.close_window(pocket)
        d.wait_window_gone("Diary")
        d.wait_for_activity("Diary locked (manual)")

        # Unlocked again, the vault opens with the note selected; its exported copy holds what was typed.
        self.unlock_from_tray("Diary", password)
        pocket = self.wait_and_activate("Diary")
        d.screenshot("reopened")
        exported = export_selected_item(d, pocket, os.path.join(d.root, "note.txt"))
        self.assertEqual(exported.decode("utf-8"), text)
