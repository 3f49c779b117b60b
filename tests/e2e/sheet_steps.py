"""Steps the vault-sheet scenarios share: the main window's sheets, the tray's unlock window, the error alert."""

from harness import DesktopTestCase, wait_until

# Where a click reaches the first vault card of the Classic home, inside the main window.
FIRST_CARD = (150, 120)


class SheetScenario(DesktopTestCase):
    """Larkhold started with the plain tray menu, after `prepare()` has set up its files."""

    def setUp(self):
        super().setUp()
        d = self.desktop
        d.write_settings(menuBarPanel=False)
        self.prepare()
        d.start_larkhold()

    def prepare(self):
        pass

    def main_window(self):
        return self.desktop.wait_for_window("Larkhold")

    def activate(self, window):
        """Gives the window the keyboard, and waits until it has it: keys typed before would go elsewhere."""
        d = self.desktop
        d.xdotool("windowactivate", "--sync", window)
        wait_until(lambda: d.active_window() == window, "the window active")
        return window

    def visible_windows(self):
        """Every mapped window of larkhold, menus included."""
        d = self.desktop
        return set(int(w) for w in d.xdotool("search", "--onlyvisible", "--pid", d.larkhold.pid).split())

    def popup(self, open_it):
        """Runs `open_it` (a click that opens a menu) and waits until a new window of larkhold shows."""
        before = self.visible_windows()
        open_it()
        wait_until(lambda: self.visible_windows() - before, "the menu shown")

    def shows_colour(self, window, rgb, fuzz="6%"):
        """Whether some pixels of the window are of this colour (within `fuzz`)."""
        d = self.desktop
        shot = d.screenshot(f"window-{window}")
        d._run(["import", "-display", d.display, "-window", str(window), shot], check=True)
        colour = "rgb({},{},{})".format(*rgb)
        # Pixels of the colour become magenta (which the windows never show), every other one black.
        share = d._run(["convert", shot, "-fuzz", fuzz, "-fill", "magenta", "-opaque", colour, "-fuzz", "0",
                        "-fill", "black", "+opaque", "magenta", "-fill", "white", "-opaque", "magenta",
                        "-format", "%[fx:mean]", "info:"], check=True)
        return float(share.strip() or 0) > 0

    def wait_and_activate(self, title):
        return self.activate(self.desktop.wait_for_window(title))

    def open_new_vault_sheet(self):
        d = self.desktop
        self.activate(self.main_window())
        d.key("ctrl+n")
        return self.wait_and_activate("New Vault")

    def open_from_card_menu(self, entry, title):
        """The `entry`-th item (1 is the first) of the first card's menu; returns the sheet it opens."""
        d = self.desktop
        self.popup(lambda: d.click_window(self.main_window(), *FIRST_CARD, button=3))
        d.key(*(["Down"] * entry), "Return")
        return self.wait_and_activate(title)

    def dismiss_error_alert(self):
        """Waits for the main window's error alert (a second window titled "Larkhold") and answers it."""
        d = self.desktop
        main = self.main_window()
        alert = wait_until(lambda: [w for w in d.find_windows("Larkhold") if w != main], "the error alert")[0]
        d.screenshot("error")
        self.activate(alert)
        d.key("Return")
        wait_until(lambda: d.find_windows("Larkhold") == [main], "the alert answered")

    def unlock_from_tray(self, name, password, wrong_password=None):
        """The tray menu's first entry unlocks the vault; without a saved password the unlock window asks. With
        `wrong_password`, that is tried first and must leave the window open."""
        d = self.desktop
        self.popup(d.click_tray_icon)
        d.key("Down", "Return")
        prompt = self.wait_and_activate("Unlock Vault")
        # The unlock window is the only prompt: the main window shows none of its own.
        self.assertEqual(d.find_windows(f"Unlock “{name}”"), [])
        if wrong_password is not None:
            d.type_text(wrong_password)
            d.key("Return")
            # The failure is told (the window says it too) and the window stays, with the typed text.
            self.dismiss_error_alert()
            self.assertEqual(d.find_windows("Unlock Vault"), [prompt])
            self.assertEqual(d.mounts(), [])
            self.activate(prompt)
            d.key("ctrl+a", "BackSpace")
        d.type_text(password)
        d.key("Return")
        d.wait_window_gone("Unlock Vault")
        d.wait_for_activity(f"{name} unlocked · password")

    def lock_all_from_tray(self):
        d = self.desktop
        locks = lambda: sum(text.endswith(" locked (manual)") for text in d.activity())
        before = locks()
        self.popup(d.click_tray_icon)
        d.key("Down", "Down", "Return")  # the open vault's submenu, then "Lock All"
        # The volume leaves its folder before the lock has ended; until then the vault is busy.
        wait_until(lambda: locks() > before, "the lock recorded")
