"""A standard vault created, unlocked, written, locked and opened again by a desktop user who is not root: the
disk-image tools go through the real udisks2 and polkit, and the volume shows in the user's folder under /media
(the only place the scenario's waits look for it here). CMakeLists.txt runs this file through
tests/tools/udisks_fixture.py, which starts those daemons in a namespace of its own and runs it as a throwaway user;
run any other way, it is skipped."""

import os
import unittest

import test_sheets_create_unlock as sheets


@unittest.skipUnless(os.environ.get("LARKHOLD_UDISKS_FIXTURE") and os.geteuid() != 0,
                     "runs only through udisks_fixture.py")
class CreateStandardVaultAsDesktopUser(sheets.CreateStandardVault):
    pass


if __name__ == "__main__":
    unittest.main()
