"""Operations that overlap on a real desktop: a lock while files are being copied into the vault, and the display
going away under a running Larkhold."""

import os
import signal

from harness import DesktopTestCase, wait_until

PASSWORD = "copper kettle 7"
MARKER = b"plain text that must never reach the host disk"


def kill_display(desktop):
    """Ends the X server at once, as a crash or a killed session would."""
    for name, process in desktop._processes:
        if name == "xvfb":
            process.send_signal(signal.SIGKILL)
            process.wait()


def files_below(folder):
    found = []
    for base, _, names in os.walk(folder):
        found.extend(os.path.join(base, name) for name in names)
    return found


def holding_marker(folder, skip):
    """Files below `folder` (outside `skip`) whose bytes hold the marker."""
    hits = []
    for path in files_below(folder):
        if path.startswith(skip + os.sep) or os.path.islink(path) or not os.path.isfile(path):
            continue
        try:
            with open(path, "rb") as f:
                if MARKER in f.read():
                    hits.append(path)
        except OSError:
            pass
    return hits


class LockDuringCopyIn(DesktopTestCase):
    def test_a_screen_lock_stops_the_copy_and_leaves_no_plain_file_on_the_host_disk(self):
        d = self.desktop
        vault = d.make_standard_vault("Race", PASSWORD)
        d.list_vaults([vault])
        d.save_password(vault)
        d.write_settings(menuBarPanel=False)
        d.start_larkhold()

        source = os.path.join(d.root, "in")
        os.makedirs(source)
        files = []
        for n in range(3000):
            path = os.path.join(source, f"note-{n:04d}.txt")
            with open(path, "wb") as f:
                f.write(MARKER + b" #%d\n" % n)
            files.append(path)
        handed = d.run_larkhold(*files)
        self.assertEqual(handed.returncode, 0, handed.stderr.decode(errors="replace"))
        window = d.wait_for_window("Add to Vault")
        d.xdotool("windowactivate", "--sync", window)
        d.key("Return")  # Copy In, with the saved password
        mount_point = d.wait_mounted()[0]
        wait_until(lambda: len([n for n in os.listdir(mount_point) if n.startswith("note-")]) >= 200,
                   "200 files copied in", timeout=300)

        d.screensaver_active_changed(True)
        d.wait_unmounted(timeout=300)
        d.wait_for_activity("Race locked (screen locked)")
        d.screenshot("locked")
        self.assertTrue(d.find_windows("Add to Vault"), "the window stays to say how much went in")
        if os.path.isdir(mount_point):
            self.assertEqual(files_below(mount_point), [], "the folder left where the volume was stays empty")
        self.assertEqual(holding_marker(d.root, source), [])
        self.assertEqual(len(files_below(source)), 3000, "copying leaves the originals")


class DisplayLost(DesktopTestCase):
    def test_killing_the_x_server_runs_the_quit_and_locks_the_vault(self):
        d = self.desktop
        vault = d.make_standard_vault("Lost", PASSWORD)
        d.list_vaults([vault])
        d.save_password(vault)
        d.write_settings(menuBarPanel=False)
        d.start_larkhold()
        d.click_tray_icon()
        d.key("Down", "Return")  # "Unlock “Lost”"
        d.wait_mounted()
        d.wait_for_activity("Lost unlocked · keyring")

        kill_display(d)
        d.wait_larkhold_exit()
        self.assertEqual(d.mounts(), [], "the vault was left mounted")
        self.assertIn("Lost locked (quit)", d.activity())


if __name__ == "__main__":
    import unittest

    unittest.main()
