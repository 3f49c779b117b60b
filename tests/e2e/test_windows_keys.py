"""The keyboard across windows on a real desktop: the application's shortcuts from any window, sheets and alerts that
keep the keyboard, the windows that close by key, and one New Vault sheet however often it is asked for."""

import unittest

from harness import wait_until
from sheet_steps import FIRST_CARD, SheetScenario

PASSWORD = "quiet harbour 7"
SCREEN_HEIGHT = 800


class ApplicationShortcuts(SheetScenario):
    def prepare(self):
        self.vault = self.desktop.make_standard_vault("Notes", PASSWORD)
        self.desktop.list_vaults([self.vault])

    def test_settings_and_quit_answer_in_windows_other_than_the_main_one(self):
        d = self.desktop
        d.close_window(self.main_window())
        d.wait_window_gone("Larkhold")

        # The standalone unlock window, the main window closed: Ctrl+, opens the settings.
        self.popup(d.click_tray_icon)
        d.key("Down", "Return")
        self.wait_and_activate("Unlock Vault")
        d.key("ctrl+comma")
        self.wait_and_activate("Settings")

        # In the settings window: Ctrl+Q quits.
        d.key("ctrl+q")
        self.assertEqual(d.wait_larkhold_exit(), 0)


class WindowsThatCloseByKey(SheetScenario):
    def prepare(self):
        self.desktop.write_settings(menuBarPanel=True)

    def test_settings_and_about_close_with_escape_and_ctrl_w(self):
        d = self.desktop
        self.activate(self.main_window())
        d.key("ctrl+comma")
        settings = self.wait_and_activate("Settings")
        x, y, width, height = d.window_geometry(settings)
        self.assertLessEqual(y + height, SCREEN_HEIGHT, "the settings window lies wholly on the screen")
        self.assertLessEqual(height, 768 - 100, "the settings window fits a 768-pixel screen with its title bar")
        d.screenshot("settings")
        d.key("Escape")
        d.wait_window_gone("Settings")

        self.activate(self.main_window())
        d.key("ctrl+comma")
        self.wait_and_activate("Settings")
        d.key("ctrl+w")
        d.wait_window_gone("Settings")

        # About, from the panel's footer: the second button from its right end.
        for keys in (["Escape"], ["ctrl+w"]):
            d.click_tray_icon()
            x, y, width, height = d.window_geometry(d.wait_for_window("Larkhold Panel"))
            d.click(x + width - 12 - 9 - 36, y + height - 8 - 9)
            self.wait_and_activate("About Larkhold")
            d.key(*keys)
            d.wait_window_gone("About Larkhold")


class SheetsKeepTheKeyboard(SheetScenario):
    def prepare(self):
        d = self.desktop
        d.write_settings(menuBarPanel=True)
        self.vault = d.make_standard_vault("Taxes", PASSWORD)
        d.list_vaults([self.vault])

    def new_vault_from_panel(self):
        """The panel's "+" at its bottom left, then its first entry, New Vault…"""
        d = self.desktop
        d.click_tray_icon()
        panel = d.wait_for_window("Larkhold Panel")
        x, y, width, height = d.window_geometry(panel)
        self.popup(lambda: d.click(x + 12 + 9, y + height - 8 - 9))
        d.key("Down", "Return")

    def test_new_vault_from_the_panel_with_the_window_closed_opens_over_it_with_the_keyboard(self):
        d = self.desktop
        d.close_window(self.main_window())
        d.wait_window_gone("Larkhold")
        self.new_vault_from_panel()
        sheet = d.wait_for_window("New Vault")
        main = self.main_window()

        def over_the_window():
            sx, sy, sw, sh = d.window_geometry(sheet)
            mx, my, mw, mh = d.window_geometry(main)
            return abs((sx + sw // 2) - (mx + mw // 2)) <= 2 and my <= sy < my + mh and sy + sh <= SCREEN_HEIGHT

        wait_until(over_the_window, "the sheet centred over its window and on the screen")
        wait_until(lambda: d.active_window() == sheet, "the sheet with the keyboard")
        d.screenshot("new-vault-over-window")

    def test_a_second_new_vault_request_brings_the_open_sheet_forward(self):
        d = self.desktop
        sheet = self.open_new_vault_sheet()
        d.type_text("Fir")
        self.new_vault_from_panel()
        d.wait_window_gone("Larkhold Panel")
        wait_until(lambda: d.active_window() == sheet, "the open sheet brought forward")
        # Typing goes on where it was: the name, then a small size, the passwords and Create.
        d.type_text("st")
        self.assertEqual(d.find_windows("New Vault"), [sheet])
        d.key("Tab", "Tab", "Tab", "Left", "shift+Tab")
        d.type_text("64")
        d.key("Tab", "Tab")
        d.type_text(PASSWORD)
        d.key("Tab")
        d.type_text(PASSWORD)
        d.screenshot("one-sheet")
        d.key("Return")
        d.wait_window_gone("New Vault", timeout=300)
        self.assertEqual([v["name"] for v in d.listed_vaults()], ["Taxes", "First"])

        # Shown after the sheet closed, the panel comes after anything queued behind it: no second sheet.
        d.click_tray_icon()
        d.wait_for_window("Larkhold Panel")
        self.assertEqual(d.find_windows("New Vault"), [])

    def test_the_wrong_password_alert_sits_on_the_sheet_and_gives_the_keyboard_back(self):
        d = self.desktop
        # The card's Unlock button, at its right end: no password is saved, so the sheet asks.
        x, y, width, height = d.window_geometry(self.activate(self.main_window()))
        d.click(x + width - 77, y + FIRST_CARD[1])
        sheet = self.wait_and_activate("Unlock “Taxes”")
        d.type_text("not it")
        d.key("Return")

        main = self.main_window()
        alert = wait_until(lambda: [w for w in d.find_windows("Larkhold") if w != main], "the error alert")[0]
        self.assertIn(hex(sheet), d.window_property(alert, "WM_TRANSIENT_FOR"), "the alert belongs to the sheet")
        self.activate(alert)
        d.key("Return")
        wait_until(lambda: d.find_windows("Larkhold") == [main], "the alert answered")
        wait_until(lambda: d.active_window() == sheet, "the sheet with the keyboard again")

        d.key("ctrl+a", "BackSpace")
        d.type_text(PASSWORD)
        d.key("Return")
        d.wait_mounted()
        d.wait_window_gone("Unlock “Taxes”")


if __name__ == "__main__":
    unittest.main()
