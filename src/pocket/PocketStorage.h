#pragma once

#include "AtomicFile.h"
#include "PocketFile.h"
#include "PocketFormat.h"
#include "PocketItem.h"
#include "PocketVaultError.h"

#include <QString>
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace larkhold {

// Owns one open Pocket Vault file: the key of the area that was unlocked, the bytes a save needs
// and how the file is written. Keeps no decrypted items; those live with the caller.
//
// Of the file only the two slots and the unlocked area stay in memory. The other area, sealed
// under a key this storage never learns, stays on disk: every write copies it from the file as
// it was read or last written, file to file.
//
// The static operations run one to four 128 MiB key derivations and block; call them off the
// GUI thread. save() and setUpSecondPassword() block too and are serialised per storage, so two
// calls on one storage never overlap and generations are compared and raised one at a time.
class PocketStorage {
public:
    struct Opened {
        std::shared_ptr<PocketStorage> storage;
        PocketItems items;
    };

    // Creates a new vault file of tier `capacityMB` whose main password sits in a random slot.
    // Never replaces a file that exists at `path` (also one that appears meanwhile).
    static Opened create(const QString& path, int capacityMB, const QString& password, bool keepOutOfICloud);
    // Opens the file with the password and decodes the items of the area it opens. Writes nothing.
    // A path that is a symbolic link is resolved here: saves go to the link's target.
    static Opened open(const QString& path, const QString& password, bool keepOutOfICloud);
    // Re-keys the slot that `oldPassword` opens; the areas are not rewritten. Refuses a new
    // password that already opens the other slot, which would make that area unreachable.
    static void changePassword(const QString& path, const QString& oldPassword, const QString& newPassword,
                               bool keepOutOfICloud);

    // Writes the items into this storage's area, unless a save of an equal or newer generation
    // was already written (then it returns without error). A file that is no longer the one this
    // storage read or last wrote (a sync, another computer), also one that lands while the save
    // runs, is not written over: changedElsewhere. Nor is a file written where one was moved away or
    // deleted: movedElsewhere.
    void save(const PocketItems& items, std::int64_t generation);
    // Writes a new vault file at `path` (never replacing one) with this storage's slot, `items` in
    // its area, and the other slot and area as the vault's file holds them now (random bytes when
    // it is gone); this storage goes on writing its own file.
    void saveCopy(const QString& path, const PocketItems& items);
    // Puts `password` into the other slot with `items` in the other area, replacing whatever
    // was there. The storage keeps working on its own area.
    void setUpSecondPassword(const QString& password, const PocketItems& items);

    // The file the storage writes: the vault's real path, symbolic links resolved.
    QString path() const { return path_; }
    std::int64_t capacity() const { return capacity_; }
    int area() const { return key_.area; }
    bool keepOutOfICloud() const;
    void setKeepOutOfICloud(bool keep);
    std::int64_t savedGeneration() const;

    // What tells one state of the file from another: which file it is, its size, when it was
    // written and when it last changed in any way (which no program can set back). Not the device,
    // which a removable disk or a share may change from one mount to the next.
    struct FileStamp {
        std::uint64_t inode = 0;
        std::int64_t size = 0;
        std::int64_t modifiedNs = 0;
        std::int64_t changedNs = 0;
        bool operator==(const FileStamp&) const = default;
    };

    using Slots = std::array<std::uint8_t, PocketFormat::kSlotsSize>;
    // `area` is the box of the key's area as the file at `path` holds it; `file` is that file's
    // status, on a file system that numbers its files stably or not.
    PocketStorage(const Slots& slotBytes, SecureBytes area, PocketKey key, QString path, bool keepOutOfICloud,
                  const struct stat& file, bool stableFileNumbers);

    // The stamp of a file's status; on a file system without stable file numbers only what it can
    // vouch for.
    static FileStamp stampOf(const struct stat& status, bool stableFileNumbers);

private:
    bool isTheFileRead(const struct stat& status) const;
    // changedElsewhere, or movedElsewhere when nothing is at the path.
    PocketVaultError notTheFileRead() const;
    // The vault's file as last read or written here, open for copying its other area. Throws
    // changedElsewhere when it is another, movedElsewhere when it is gone.
    std::unique_ptr<FileReader> openUnchanged() const;
    // Puts the pieces in place of `read`, the file as last read or written, and takes the stamp and
    // the slots of what was written.
    void writeOver(std::span<const fileio::Piece> pieces, const Slots& slotBytes, const FileReader& read);

    // Held for a whole save or second-password setup (a file write, key derivations); the
    // accessors above never take it, so a caller on the GUI thread is never made to wait.
    std::mutex writeMutex_;
    Slots slots_;
    // The box of this storage's area: sealed, but for the moment of a save when the items are
    // encoded into it to be sealed where they lie.
    SecureBytes area_;
    const PocketKey key_;
    const QString path_;
    const std::int64_t capacity_;
    std::atomic<bool> keepOutOfICloud_;
    std::atomic<std::int64_t> savedGeneration_{-1};
    const bool stableFileNumbers_;
    // Set while the unlocked area in memory holds no valid box (a seal failed and the file could
    // not be read back); guarded by writeMutex_.
    bool areaLost_ = false;
    // The file as it was read or last written here; guarded by writeMutex_.
    FileStamp stamp_;
};

} // namespace larkhold
