"""The application shell on a real desktop: window and tray, lock triggers, quit, single instance."""

import os
import signal
import subprocess
import tempfile
import unittest

from harness import DesktopTestCase, wait_until

PASSWORD = "correct horse battery"


class StartAndTray(DesktopTestCase):
    def test_start_shows_the_window_and_the_tray_icon(self):
        d = self.desktop
        d.start_larkhold()
        d.wait_for_window("Larkhold")
        x, y, width, height = d.wait_for_tray_icon()
        self.assertGreater(width, 0)
        self.assertGreater(height, 0)

    def test_closed_window_leaves_it_running_and_the_tray_menu_brings_it_back(self):
        d = self.desktop
        d.write_settings(menuBarPanel=False)
        d.start_larkhold()
        d.close_window(d.wait_for_window("Larkhold"))
        d.wait_window_gone("Larkhold")
        self.assertIsNone(d.larkhold.poll(), "closing the window must not quit")

        # Empty list: "No vaults yet" and "Lock All" are disabled, so the second enabled entry is "Open Larkhold".
        d.click_tray_icon()
        d.key("Down", "Down", "Return")
        d.wait_for_window("Larkhold")
        self.assertIsNone(d.larkhold.poll())

    def test_the_panel_opens_from_the_tray_icon(self):
        d = self.desktop
        d.start_larkhold()
        d.click_tray_icon()
        panel = d.wait_for_window("Larkhold Panel")
        x, y, width, height = d.window_geometry(panel)
        self.assertEqual(width, 300)
        self.assertGreaterEqual(x, 0)
        self.assertLessEqual(x + width, 1280, "the panel must lie wholly on the screen")
        self.assertLessEqual(y + height, 800)
        d.screenshot("panel")

        # The footer's last button, at the panel's bottom right corner, quits.
        d.click(x + width - 12 - 9, y + height - 8 - 9)
        self.assertEqual(d.wait_larkhold_exit(), 0)


class TaskbarEntry(DesktopTestCase):
    def test_hide_taskbar_entry_takes_effect_while_the_tray_icon_can_bring_the_window_back(self):
        d = self.desktop
        d.write_settings(hideDockIcon=True, menuBarPanel=False)
        d.start_larkhold()
        window = d.wait_for_window("Larkhold")
        wait_until(lambda: "_NET_WM_STATE_SKIP_TASKBAR" in d.window_property(window, "_NET_WM_STATE"),
                   "the main window off the taskbar")

        # Closed and brought back from the tray: still off the taskbar.
        d.close_window(window)
        d.wait_window_gone("Larkhold")
        d.click_tray_icon()
        d.key("Down", "Down", "Return")  # "Open Larkhold"
        window = d.wait_for_window("Larkhold")
        wait_until(lambda: "_NET_WM_STATE_SKIP_TASKBAR" in d.window_property(window, "_NET_WM_STATE"),
                   "the reopened main window off the taskbar")


class TaskbarEntryWithoutTray(DesktopTestCase):
    tray = False

    def test_without_a_tray_the_taskbar_entry_stays(self):
        d = self.desktop
        d.write_settings(hideDockIcon=True)
        d.start_larkhold()
        d.close_window(d.wait_for_window("Larkhold"))
        d.wait_window_gone("Larkhold")
        # Shown again by a second start; the window manager maps it only after it has handled every request made
        # before, the taskbar policy included.
        self.assertEqual(d.run_larkhold().returncode, 0)
        window = d.wait_for_window("Larkhold")
        self.assertNotIn("_NET_WM_STATE_SKIP_TASKBAR", d.window_property(window, "_NET_WM_STATE"),
                         "with no tray the taskbar entry is the only way back to a closed window")


class VaultScenario(DesktopTestCase):
    """One standard vault made with the disk-image tools, listed, its password in the keyring."""

    settings = {}

    def setUp(self):
        super().setUp()
        d = self.desktop
        self.vault = d.make_standard_vault("E2E", PASSWORD)
        d.list_vaults([self.vault])
        d.save_password(self.vault)
        d.write_settings(menuBarPanel=False, **self.settings)
        d.start_larkhold()

    def unlock_from_tray_menu(self):
        d = self.desktop
        d.click_tray_icon()
        # The first entry of the plain menu is the vault's "Unlock “E2E”".
        d.key("Down", "Return")
        mounted = d.wait_mounted()
        self.assertEqual(len(mounted), 1)
        d.wait_for_activity("E2E unlocked · keyring")


class ScreenLockOn(VaultScenario):
    def test_screen_lock_locks_the_vault(self):
        d = self.desktop
        self.unlock_from_tray_menu()
        d.screensaver_active_changed(True)
        d.wait_unmounted()
        d.wait_for_activity("E2E locked (screen locked)")

    def test_the_login_managers_lock_locks_the_vault(self):
        d = self.desktop
        self.unlock_from_tray_menu()
        d.lock_session()
        d.wait_unmounted()
        d.wait_for_activity("E2E locked (screen locked)")


class ScreenLockOff(VaultScenario):
    settings = {"lockOnScreenLock": False}

    def test_screen_lock_leaves_the_vault_open(self):
        d = self.desktop
        self.unlock_from_tray_menu()
        d.screensaver_active_changed(True)
        # The sleep that follows is handled after the screen lock (they take turns), so once it has locked the
        # vault, the screen lock has had its chance and must have left no trace.
        d.prepare_for_sleep(True)
        d.wait_for_activity("E2E locked (sleep)")
        self.assertNotIn("E2E locked (screen locked)", d.activity())


class Sleep(VaultScenario):
    def test_the_vault_locks_before_the_inhibitor_is_released(self):
        d = self.desktop
        self.unlock_from_tray_menu()
        self.assertEqual(len(d.sleep_inhibitors()), 1)
        self.assertEqual(d.sleep_inhibitors()[0][3], "delay")

        d.prepare_for_sleep(True)
        releases = wait_until(lambda: d.inhibitor_releases(), "the inhibitor's release")
        self.assertEqual(releases[0]["mounts"], [], "the volume was still mounted when the sleep was let go")
        self.assertEqual(d.mounts(), [])
        d.wait_for_activity("E2E locked (sleep)")

        # Awake again: the inhibitor is taken for the next sleep.
        d.prepare_for_sleep(False)
        wait_until(lambda: d.sleep_inhibitors(), "the inhibitor taken again after resume")


class Quit(VaultScenario):
    def test_sigterm_with_lock_on_quit_locks_and_ends(self):
        d = self.desktop
        self.unlock_from_tray_menu()
        d.signal_larkhold(signal.SIGTERM)
        self.assertEqual(d.wait_larkhold_exit(), 0)
        self.assertEqual(d.mounts(), [])
        self.assertIn("E2E locked (quit)", d.activity())


class SingleInstance(DesktopTestCase):
    def test_a_second_start_hands_its_file_to_the_first_and_exits(self):
        d = self.desktop
        d.start_larkhold()
        d.close_window(d.wait_for_window("Larkhold"))
        d.wait_window_gone("Larkhold")

        handed = d.run_larkhold("/some/file")
        self.assertEqual(handed.returncode, 0, handed.stderr.decode(errors="replace"))
        # The first instance took the file: its Add to Vault window (or, until that exists, its main window) shows.
        wait_until(lambda: d.find_windows("Add to Vault") or d.find_windows("Larkhold"),
                   "the first instance's window for the handed-over file")
        self.assertIsNone(d.larkhold.poll(), "the first instance must keep running")

    def test_a_second_start_without_files_shows_the_first_and_exits(self):
        d = self.desktop
        d.start_larkhold()
        d.close_window(d.wait_for_window("Larkhold"))
        d.wait_window_gone("Larkhold")

        again = d.run_larkhold()
        self.assertEqual(again.returncode, 0, again.stderr.decode(errors="replace"))
        d.wait_for_window("Larkhold")
        self.assertEqual(len(d.find_windows("Larkhold")), 1)

    def test_a_second_start_in_another_session_says_so_and_exits(self):
        d = self.desktop
        d.start_larkhold()
        # Another session of the same user: a runtime folder of its own and no session bus to meet the first on.
        env = dict(d.env)
        env.pop("DBUS_SESSION_BUS_ADDRESS", None)
        env["XDG_RUNTIME_DIR"] = tempfile.mkdtemp(prefix="other-session-", dir=d.home)
        os.chmod(env["XDG_RUNTIME_DIR"], 0o700)
        second = subprocess.Popen([d.larkhold_binary], env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                  start_new_session=True)
        try:
            d.close_window(d.wait_for_window("Larkhold is already running"))
            _, err = second.communicate(timeout=60)
        finally:
            if second.poll() is None:
                second.kill()
                second.wait()
        self.assertEqual(second.returncode, 1)
        self.assertIn("already running for this user, in another session", err.decode(errors="replace"))
        self.assertIsNone(d.larkhold.poll(), "the first instance must keep running")
        self.assertEqual(len(d.find_windows("Larkhold")), 1)


if __name__ == "__main__":
    unittest.main()
