#include "PocketStorage.h"

#include "AtomicFile.h"
#include "Crypto.h"
#include "PocketFormat.h"
#include "PocketPayload.h"
#include "PocketVaultError.h"
#include "SyncAttributes.h"

#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/xattr.h>

namespace larkhold {

namespace {

// `written` receives the new file's own status. The marks go on before the file has its name: set
// afterwards they would move its change time past the stamp, and could reach another program's file.
void writeVaultFile(const QString& path, std::span<const fileio::Piece> pieces, bool keepOutOfICloud, WriteMode mode,
                    struct stat& written, const fileio::ReplaceOnly* replaceOnly = nullptr) {
    fileio::WriteOptions options;
    options.prepare = [keepOutOfICloud](int fd) {
        // Both marks are advice to other programs; a file system without extended attributes
        // still holds a good vault, so failures are ignored.
        static constexpr char kNoBackupValue[] = "false";
        (void)::fsetxattr(fd, SyncAttributes::kNoBackup, kNoBackupValue, sizeof kNoBackupValue - 1, 0);
        if (keepOutOfICloud)
            (void)::fsetxattr(fd, SyncAttributes::kCloudIgnore, "1", 1, 0);
    };
    options.replaceOnly = replaceOnly;
    options.written = &written;
    writeFileAtomically(path, pieces, mode, options);
}

// FAT and exFAT number a file anew each time it is looked up after the system let go of it, some
// network shares with each lookup, and FUSE file systems as they please; their change times are not
// the kernel's own either. Only the size and the modification time, to the two seconds FAT keeps,
// tell their files apart.
bool numbersFilesStably(const struct statfs& fs) {
    switch (static_cast<unsigned long>(fs.f_type)) {
    case 0x4d44UL:     // FAT
    case 0x2011BAB0UL: // exFAT
    case 0xFF534D42UL: // CIFS
    case 0xFE534D42UL: // SMB2
    case 0x517BUL:     // SMB
    case 0x65735546UL: // FUSE
        return false;
    default:
        return true;
    }
}

bool numbersFilesStably(int fd) {
    struct statfs fs {};
    return ::fstatfs(fd, &fs) != 0 || numbersFilesStably(fs);
}

bool numbersFilesStably(const QString& path) {
    struct statfs fs {};
    return ::statfs(QFile::encodeName(path).constData(), &fs) != 0 || numbersFilesStably(fs);
}

// Where the vault's bytes really are: a vault reached through a symbolic link is written beside its
// target, so that the link stays a link and the target keeps receiving the changes.
QString realPath(const QString& path) {
    const QString target = QFileInfo(path).canonicalFilePath();
    return target.isEmpty() ? path : target;
}

std::size_t boxSize(std::int64_t capacity) {
    return static_cast<std::size_t>(PocketFormat::areaBoxSize(capacity));
}

std::span<std::uint8_t> slotOf(PocketStorage::Slots& slotBytes, int slot) {
    return std::span(slotBytes).subspan(static_cast<std::size_t>(PocketFormat::kSlotSize * slot),
                                        static_cast<std::size_t>(PocketFormat::kSlotSize));
}

fileio::Piece areaOf(const FileReader& file, int area, std::int64_t capacity) {
    return fileio::Piece{{}, file.fd(), PocketFormat::areaOffset(area, capacity), PocketFormat::areaBoxSize(capacity)};
}

// A vault file open for reading its parts, refused by its size alone (before reading) when it is
// not one; its slots are read at once.
struct VaultFile {
    explicit VaultFile(const QString& path) : file(path) {
        const std::optional<std::int64_t> tier = PocketFormat::capacity(std::int64_t(file.status().st_size));
        if (!tier)
            throw PocketVaultError::notAPocketVault();
        capacity = *tier;
        file.readAt(0, slotBytes);
    }
    FileReader file;
    std::int64_t capacity = 0;
    PocketStorage::Slots slotBytes{};
};

// The file's pieces in order: the slots, then both areas, area `ownArea` from `ownBox`.
std::vector<fileio::Piece> filePieces(const PocketStorage::Slots& slotBytes, int ownArea, ByteView ownBox,
                                      const fileio::Piece& otherBox) {
    const fileio::Piece own{ownBox};
    if (ownArea == 0)
        return {fileio::Piece{slotBytes}, own, otherBox};
    return {fileio::Piece{slotBytes}, otherBox, own};
}

void encodeInto(const PocketItems& items, std::span<std::uint8_t> out) {
    PocketPayload::encodeInto(items, out);
}

// Each copy a killed save left beside the vault holds an earlier state and an earlier password slot.
void removeStaleCopies(const QString& path) {
    fileio::removeStaleTemporaries(QFile::encodeName(QFileInfo(path).absoluteFilePath()).toStdString());
}

// Two items of one id would let an edit or a delete of the one reach the other. Each repeat gets an
// id of its own, in memory only: nothing is lost, and the file changes with the next save.
void giveRepeatedIDsNewOnes(PocketItems& items) {
    QSet<QUuid> seen;
    for (PocketItem& item : items) {
        while (seen.contains(item.id))
            item.id = QUuid::createUuid();
        seen.insert(item.id);
    }
}

} // namespace

PocketStorage::PocketStorage(const Slots& slotBytes, SecureBytes area, PocketKey key, QString path,
                             bool keepOutOfICloud, const struct stat& file, bool stableFileNumbers)
    : slots_(slotBytes), area_(std::move(area)), key_(std::move(key)), path_(std::move(path)),
      capacity_(PocketFormat::capacityOfBox(std::int64_t(area_.size()))), keepOutOfICloud_(keepOutOfICloud),
      stableFileNumbers_(stableFileNumbers), stamp_(stampOf(file, stableFileNumbers)) {}

PocketStorage::FileStamp PocketStorage::stampOf(const struct stat& st, bool stableFileNumbers) {
    if (!stableFileNumbers)
        return FileStamp{0, std::int64_t(st.st_size), std::int64_t(st.st_mtim.tv_sec / 2) * 2'000'000'000, 0};
    return FileStamp{std::uint64_t(st.st_ino), std::int64_t(st.st_size),
                     std::int64_t(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec,
                     std::int64_t(st.st_ctim.tv_sec) * 1'000'000'000 + st.st_ctim.tv_nsec};
}

bool PocketStorage::isTheFileRead(const struct stat& st) const {
    return stampOf(st, stableFileNumbers_) == stamp_;
}

PocketVaultError PocketStorage::notTheFileRead() const {
    struct stat st {};
    if (::lstat(QFile::encodeName(path_).constData(), &st) != 0 && errno == ENOENT)
        return PocketVaultError::movedElsewhere();
    return PocketVaultError::changedElsewhere();
}

std::unique_ptr<FileReader> PocketStorage::openUnchanged() const {
    std::unique_ptr<FileReader> file;
    try {
        file = std::make_unique<FileReader>(path_);
    } catch (const FileReadError& e) {
        // Moved or deleted: the vault lives on wherever it went, and a new file here would be a
        // second vault that no longer opens with the other password.
        if (e.error == ENOENT)
            throw PocketVaultError::movedElsewhere();
        throw;
    }
    // The very file that will be copied from, whatever happens at its path meanwhile.
    if (!isTheFileRead(file->status()))
        throw PocketVaultError::changedElsewhere();
    return file;
}

void PocketStorage::writeOver(std::span<const fileio::Piece> pieces, const Slots& slotBytes, const FileReader& read) {
    // The swap replaces only the file that was read, and only as it was read: another program's
    // version that lands at any moment of the save is never written over.
    const fileio::ReplaceOnly guard{read.fd(), [this](const struct stat& st) { return isTheFileRead(st); }};
    struct stat written {};
    try {
        writeVaultFile(path_, pieces, keepOutOfICloud_.load(), WriteMode::replace, written, &guard);
    } catch (const FileWriteError& e) {
        if (e.notTheFileRead)
            throw notTheFileRead();
        // Failed after the new file was in place (the folder's flush): it is ours all the same.
        if (e.newFileInPlace) {
            stamp_ = stampOf(written, stableFileNumbers_);
            slots_ = slotBytes;
        }
        throw;
    }
    stamp_ = stampOf(written, stableFileNumbers_);
    slots_ = slotBytes;
}

PocketStorage::Opened PocketStorage::create(const QString& path, int capacityMB, const QString& password,
                                            bool keepOutOfICloud) {
    // Callers offer only the tiers; anything else would ask for an absurd buffer or a file that
    // no later open recognises.
    if (std::find(PocketFormat::sizeTiersMB.begin(), PocketFormat::sizeTiersMB.end(), capacityMB) ==
        PocketFormat::sizeTiersMB.end())
        throw std::invalid_argument("A Pocket Vault holds 1, 5, 25 or 50 MB.");
    const std::int64_t capacity = PocketFormat::capacityOfTier(capacityMB);
    // Every byte starts random, so the unused slot and area look like the used ones.
    Slots slotBytes{};
    crypto::randomFill(slotBytes);
    PocketKey key{static_cast<int>(crypto::randomBelow(2)), crypto::randomBytes(crypto::kKeySize)};
    PocketFile::sealSlot(slotBytes, capacity, key.area, PocketFile::passwordBytes(password), key.key);
    SecureBytes area(boxSize(capacity));
    PocketFile::sealAreaInPlace(area, capacity, key, [](std::span<std::uint8_t> out) { encodeInto({}, out); });
    struct stat written {};
    {
        const std::vector<std::uint8_t> unused = PocketFormat::randomBytes(boxSize(capacity));
        writeVaultFile(path, filePieces(slotBytes, key.area, area, fileio::Piece{unused}), keepOutOfICloud,
                       WriteMode::createNew, written);
    }
    return Opened{std::make_shared<PocketStorage>(slotBytes, std::move(area), std::move(key), path, keepOutOfICloud,
                                                  written, numbersFilesStably(path)),
                  {}};
}

PocketStorage::Opened PocketStorage::open(const QString& path, const QString& password, bool keepOutOfICloud) {
    const QString target = realPath(path);
    const VaultFile vault(target);
    const std::int64_t capacity = vault.capacity;
    // While the keys are derived the system reads the file into its cache, outside this process:
    // the unlocked area is then read from memory, and the first save finds the other one there to copy.
    (void)::posix_fadvise(vault.file.fd(), 0, 0, POSIX_FADV_WILLNEED);
    PocketKey key = PocketFile::unlockSlots(vault.slotBytes, capacity, PocketFile::passwordBytes(password));
    SecureBytes area(boxSize(capacity));
    vault.file.readAt(PocketFormat::areaOffset(key.area, capacity), area);
    PocketItems items = PocketPayload::decode(PocketFile::openArea(area, capacity, key));
    giveRepeatedIDsNewOnes(items);
    removeStaleCopies(target);
    return Opened{std::make_shared<PocketStorage>(vault.slotBytes, std::move(area), std::move(key), target,
                                                  keepOutOfICloud, vault.file.status(),
                                                  numbersFilesStably(vault.file.fd())),
                  std::move(items)};
}

void PocketStorage::changePassword(const QString& path, const QString& oldPassword, const QString& newPassword,
                                   bool keepOutOfICloud) {
    const QString target = realPath(path);
    VaultFile vault(target);
    const SecureBytes oldBytes = PocketFile::passwordBytes(oldPassword);
    const SecureBytes newBytes = PocketFile::passwordBytes(newPassword);
    const PocketKey key = PocketFile::unlockSlots(vault.slotBytes, vault.capacity, oldBytes);
    // A new password that already opens the other slot would from now on always open this
    // slot's area first (or never reach the other one), hiding the other area for good.
    if (PocketFile::slotOpens(vault.slotBytes, vault.capacity, newBytes, 1 - key.area))
        throw PocketVaultError::passwordOpensOtherArea();
    PocketFile::sealSlot(vault.slotBytes, vault.capacity, key.area, newBytes, key.key);
    // Both areas as they are, from the file whose slot was opened.
    const fileio::Piece pieces[] = {
        fileio::Piece{vault.slotBytes},
        fileio::Piece{{}, vault.file.fd(), PocketFormat::kSlotsSize, 2 * PocketFormat::areaBoxSize(vault.capacity)}};
    struct stat written {};
    writeVaultFile(target, pieces, keepOutOfICloud, WriteMode::replace, written);
    // A copy left by a killed save still opens with the old password.
    removeStaleCopies(target);
}

void PocketStorage::save(const PocketItems& items, std::int64_t generation) {
    const std::lock_guard lock(writeMutex_);
    // Saves may arrive out of order; an older state never overwrites a newer one.
    if (generation <= savedGeneration_)
        return;
    const std::unique_ptr<FileReader> current = openUnchanged();
    bool encoded = false;
    try {
        PocketFile::sealAreaInPlace(area_, capacity_, key_, [&](std::span<std::uint8_t> out) {
            encodeInto(items, out);
            encoded = true;
        });
    } catch (...) {
        if (!encoded)
            throw; // the items could not be encoded (too large, say): the area is untouched
        // The seal failed after the area was overwritten: take it back from the file, which holds
        // the last state written. Until that works, nothing may write this memory to disk.
        areaLost_ = true;
        try {
            current->readAt(PocketFormat::areaOffset(key_.area, capacity_), area_);
            areaLost_ = false;
        } catch (...) {
        }
        throw;
    }
    areaLost_ = false;

    const Slots slotBytes = slots_;
    writeOver(filePieces(slotBytes, key_.area, area_, areaOf(*current, 1 - key_.area, capacity_)), slotBytes, *current);
    savedGeneration_.store(generation);
}

void PocketStorage::saveCopy(const QString& path, const PocketItems& items) {
    const std::lock_guard lock(writeMutex_);
    if (areaLost_)
        throw PocketVaultError::damaged();
    SecureBytes box(boxSize(capacity_));
    PocketFile::sealAreaInPlace(box, capacity_, key_, [&](std::span<std::uint8_t> out) { encodeInto(items, out); });

    // The other slot and area as the vault's file holds them now: a copy is made when that file
    // changed elsewhere, and then its second password's items are the newest there are.
    Slots slotBytes = slots_;
    const int otherArea = 1 - key_.area;
    std::unique_ptr<FileReader> current;
    try {
        current = std::make_unique<FileReader>(path_);
        if (current->status().st_size != PocketFormat::fileSizeForCapacity(capacity_))
            current.reset();
        else
            current->readAt(PocketFormat::kSlotSize * otherArea, slotOf(slotBytes, otherArea));
    } catch (const FileReadError&) {
        current.reset();
    }
    std::vector<std::uint8_t> unused;
    fileio::Piece other;
    if (current) {
        other = areaOf(*current, otherArea, capacity_);
    } else {
        crypto::randomFill(slotOf(slotBytes, otherArea));
        unused = PocketFormat::randomBytes(boxSize(capacity_));
        other = fileio::Piece{unused};
    }
    struct stat written {};
    writeVaultFile(path, filePieces(slotBytes, key_.area, box, other), keepOutOfICloud_.load(), WriteMode::createNew,
                   written);
}

void PocketStorage::setUpSecondPassword(const QString& password, const PocketItems& items) {
    const std::lock_guard lock(writeMutex_);
    const SecureBytes passwordBytes = PocketFile::passwordBytes(password);
    if (areaLost_)
        throw PocketVaultError::damaged();
    if (PocketFile::slotOpens(slots_, capacity_, passwordBytes, key_.area))
        throw PocketVaultError::sameAsCurrentPassword();
    const std::unique_ptr<FileReader> current = openUnchanged();
    const PocketKey other{1 - key_.area, crypto::randomBytes(crypto::kKeySize)};
    SecureBytes box(boxSize(capacity_));
    PocketFile::sealAreaInPlace(box, capacity_, other, [&](std::span<std::uint8_t> out) { encodeInto(items, out); });
    // Work on copies so that any failure leaves both the memory and the disk as they were.
    Slots slotBytes = slots_;
    PocketFile::sealSlot(slotBytes, capacity_, other.area, passwordBytes, other.key);
    writeOver(filePieces(slotBytes, key_.area, area_, fileio::Piece{box}), slotBytes, *current);
}

bool PocketStorage::keepOutOfICloud() const {
    return keepOutOfICloud_.load();
}

void PocketStorage::setKeepOutOfICloud(bool keep) {
    keepOutOfICloud_.store(keep);
}

std::int64_t PocketStorage::savedGeneration() const {
    return savedGeneration_.load();
}

} // namespace larkhold
