#pragma once

#include "PocketFile.h"

#include <QString>
#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace larkhold {

// End-to-end check of the whole Pocket Vault stack on a throwaway vault in a temporary folder (one
// whose file system keeps user extended attributes: the temporary folder, or else the user's cache):
// hash test vectors, file size rules, both password slots, generation-ordered saves, re-keying,
// overflow, ciphertext hygiene, photo metadata stripping, sync-folder detection, password
// ratings, content-based typing and the decoy checklist. Key derivations run at production cost,
// so a run takes a while. Blocks; call it off the GUI thread.
class PocketSelfTest {
public:
    // A failed check. Every message begins with "POCKET: ".
    class Failure : public std::exception {
    public:
        explicit Failure(const QString& text) : text_(text), what_(text.toStdString()) {}
        const QString& text() const noexcept { return text_; }
        const char* what() const noexcept override { return what_.c_str(); }

    private:
        QString text_;
        std::string what_;
    };

    // Name of the sync service whose folder holds `path`, or nothing. Passed in because the
    // detection lives with the vault records, above this library.
    using SyncServiceLookup = std::function<std::optional<QString>(const QString& path)>;

    // Returns when every check holds; throws Failure at the first failed check, or the error of
    // an operation under test unchanged. The working folder is removed on every way out. The vault
    // it makes must be sealed at `expectedCost`; only test executables, which derive keys cheaply,
    // expect anything but the production cost.
    static void run(const SyncServiceLookup& syncServiceFor, const KdfCost& expectedCost = kProductionKdfCost);

    // Writes a small JPEG that carries EXIF with a GPS position and a user comment.
    static void writeTestPhoto(const QString& path);

    static QString hex(const std::vector<std::uint8_t>& bytes);
};

} // namespace larkhold
