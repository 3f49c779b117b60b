#pragma once

#include "DiskImage.h"

#include <QString>
#include <exception>
#include <string>

namespace larkhold {

// End-to-end check of standard vaults through the disk-image engine, on a throwaway image in a
// folder "tarnfolder-selftest-<UUID>" under the system's temporary folder: create, mount, write,
// unmount, refuse a wrong password, keep out of iCloud, mount hidden, rename the volume, find it
// again, re-key, refuse the old password, grow, shrink, mount with the new password, read back.
// Blocks (each tool runs to its end); call it off the GUI thread, with a QCoreApplication alive.
class StandardSelfTest {
public:
    // A check whose result contradicts what the run expects. what() is the text that follows
    // "SELFTEST FAIL: ".
    class Failure : public std::exception {
    public:
        explicit Failure(const QString& text) : what_(text.toStdString()) {}
        const char* what() const noexcept override { return what_.c_str(); }

    private:
        std::string what_;
    };

    // Returns when every step held; throws Failure at the first failed check, or the error of an
    // operation under test unchanged (DiskImageError, ProcessLaunchError, FileMoveError …).
    // Whatever the ending, every volume the run attached is detached first (forcibly if need be),
    // so no decrypted volume outlives the run, and then the work folder is removed.
    static void run(const DiskImage& engine);

    // The work folder's prefix inside the temporary folder.
    static QString folderPrefix();
};

} // namespace larkhold
