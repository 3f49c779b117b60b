"""A listed vault on a network share that stops answering, and a keyring that stops answering: the windows keep
answering and locks still happen."""

import os
import signal
import subprocess
import unittest

from harness import BUILD_DIR, DesktopTestCase, wait_until
from sheet_steps import SheetScenario

PASSWORD = "correct horse battery"
HANGFS = os.path.join(BUILD_DIR, "tests", "support", "hangfs", "larkhold-test-hangfs")


class DeadShare(DesktopTestCase):
    def setUp(self):
        super().setUp()
        if not os.access("/dev/fuse", os.R_OK | os.W_OK):
            self.skipTest("FUSE cannot be mounted here")
        d = self.desktop
        backing = os.path.join(d.root, "share-backing")
        self.share = os.path.join(d.root, "share")
        os.makedirs(os.path.join(backing, "Away.sparsebundle"))
        os.makedirs(self.share)
        self.fs = d.spawn("hangfs", [HANGFS, backing, self.share], stdin=subprocess.PIPE)
        # Runs before the desktop is closed: nothing of larkhold may stay stuck on the share then.
        self.addCleanup(self.fs.stdin.close)
        wait_until(lambda: "ready" in d.log("hangfs"), "the share mounted")

        self.vault = d.make_standard_vault("E2E", PASSWORD)
        self.vault["autoOpenAtLaunch"] = True
        away = d.make_standard_vault("Away", PASSWORD, size_mb=16)
        away["bundlePath"] = os.path.join(self.share, "Away.sparsebundle")
        d.list_vaults([self.vault, away])
        d.save_password(self.vault)

    def hang(self):
        self.fs.stdin.write(b"hang\n")
        self.fs.stdin.flush()
        # Larkhold looks at every listed vault's file every few seconds.
        wait_until(lambda: "stalled" in self.desktop.log("hangfs"), "a look stuck on the share")

    def test_windows_answer_and_the_screen_lock_locks_while_the_share_hangs(self):
        d = self.desktop
        d.start_larkhold()
        d.wait_mounted()
        d.wait_for_activity("E2E unlocked · keyring")
        self.hang()

        # Shown again over D-Bus by a second start.
        d.close_window(d.wait_for_window("Larkhold"))
        d.wait_window_gone("Larkhold")
        again = d.run_larkhold()
        self.assertEqual(again.returncode, 0, again.stderr.decode(errors="replace"))
        d.wait_for_window("Larkhold")

        # The tray's panel opens.
        d.click_tray_icon()
        d.wait_for_window("Larkhold Panel")
        d.screenshot("panel-with-dead-share")
        d.key("Escape")

        d.screensaver_active_changed(True)
        d.wait_unmounted()
        d.wait_for_activity("E2E locked (screen locked)")
        d.prepare_for_sleep(True)
        wait_until(lambda: d.inhibitor_releases(), "the sleep let go")
        self.assertIsNone(d.larkhold.poll())

    def test_quit_locks_and_ends_while_a_look_hangs(self):
        d = self.desktop
        d.start_larkhold()
        d.wait_mounted()
        d.wait_for_activity("E2E unlocked · keyring")
        self.hang()

        d.signal_larkhold(signal.SIGTERM)
        d.wait_for_activity("E2E locked (quit)")
        self.assertEqual(d.mounts(), [])
        # The thread stuck on the share keeps the kernel from reaping the process until the share answers; the
        # process itself has ended once its main thread is gone.
        wait_until(lambda: main_thread_ended(d.larkhold.pid), "larkhold ended with a look stuck on the share")
        self.fs.stdin.close()
        self.assertEqual(d.wait_larkhold_exit(), 0)


def main_thread_ended(pid):
    try:
        with open(f"/proc/{pid}/stat") as stat:
            # The state follows the command name, which is in parentheses.
            return stat.read().rsplit(")", 1)[1].split()[0] in ("Z", "X")
    except FileNotFoundError:
        return True


class FileOnADeadShare(DesktopTestCase):
    def test_a_file_named_at_start_on_a_hung_share_holds_up_only_its_own_hand_over(self):
        if not os.access("/dev/fuse", os.R_OK | os.W_OK):
            self.skipTest("FUSE cannot be mounted here")
        d = self.desktop
        backing = os.path.join(d.root, "share-backing")
        share = os.path.join(d.root, "share")
        os.makedirs(backing)
        os.makedirs(share)
        with open(os.path.join(backing, "report.txt"), "w") as f:
            f.write("on the share\n")
        fs = d.spawn("hangfs", [HANGFS, backing, share], stdin=subprocess.PIPE)
        self.addCleanup(fs.stdin.close)
        wait_until(lambda: "ready" in d.log("hangfs"), "the share mounted")
        fs.stdin.write(b"hang\n")
        fs.stdin.flush()

        d.start_larkhold(os.path.join(share, "report.txt"))
        wait_until(lambda: "stalled /report.txt" in d.log("hangfs"), "the look at the file stuck on the share")
        self.assertFalse(d.find_windows("Add to Vault"))

        fs.stdin.write(b"answer\n")
        fs.stdin.flush()
        d.wait_for_window("Add to Vault")
        self.assertIsNone(d.larkhold.poll())


class StalledKeyring(SheetScenario):
    """The keyring daemon stops (as one behind a prompt nobody answers, or a stalled one): the session bus queues
    every call to it and none is answered."""

    def prepare(self):
        d = self.desktop
        self.vault = d.make_standard_vault("E2E", PASSWORD)
        d.list_vaults([self.vault])
        d.save_password(self.vault)

    def stall_keyring(self):
        keyring = next(process for name, process in self.desktop._processes if name == "keyring")
        os.killpg(keyring.pid, signal.SIGSTOP)
        # Before the desktop ends: a stopped daemon would not end.
        self.addCleanup(os.killpg, keyring.pid, signal.SIGCONT)

    def unlock_asks_for_the_password(self):
        # The saved password does not come in time: the unlock window asks for it instead.
        self.unlock_from_tray("E2E", PASSWORD)
        self.desktop.wait_mounted()

    def test_unlock_asks_for_the_password_and_every_lock_happens_while_the_keyring_hangs(self):
        d = self.desktop
        self.main_window()
        self.stall_keyring()

        self.unlock_asks_for_the_password()
        d.screensaver_active_changed(True)
        d.wait_unmounted()
        d.wait_for_activity("E2E locked (screen locked)")
        d.screensaver_active_changed(False)

        self.unlock_asks_for_the_password()
        d.key("ctrl+alt+super+l")
        d.wait_unmounted()
        d.wait_for_activity("E2E locked (panic shortcut)")

        self.unlock_asks_for_the_password()
        d.prepare_for_sleep(True)
        wait_until(lambda: d.inhibitor_releases(), "the sleep let go")
        self.assertEqual(d.mounts(), [])
        d.prepare_for_sleep(False)

        self.unlock_asks_for_the_password()
        d.signal_larkhold(signal.SIGTERM)
        d.wait_for_activity("E2E locked (quit)")
        self.assertEqual(d.mounts(), [])
        self.assertEqual(d.wait_larkhold_exit(), 0)


if __name__ == "__main__":
    unittest.main()
