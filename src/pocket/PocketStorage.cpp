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
#include <stdexcept>
#include <sys/stat.h>
#include <sys/xattr.h>

namespace larkhold {

namespace {

void writeVaultFile(const QString& path, ByteView bytes, bool keepOutOfICloud, WriteMode mode) {
    writeFileAtomically(path, bytes, mode);
    const QByteArray name = QFile::encodeName(path);
    // Both marks are advice to other programs; a file system without extended attributes
    // still holds a good vault, so failures are ignored.
    static constexpr char kNoBackupValue[] = "false";
    (void)::setxattr(name.constData(), SyncAttributes::kNoBackup, kNoBackupValue, sizeof kNoBackupValue - 1, 0);
    if (keepOutOfICloud)
        (void)::setxattr(name.constData(), SyncAttributes::kCloudIgnore, "1", 1, 0);
}

// Where the vault's bytes really are: a vault reached through a symbolic link is written beside its
// target, so that the link stays a link and the target keeps receiving the changes.
QString realPath(const QString& path) {
    const QString target = QFileInfo(path).canonicalFilePath();
    return target.isEmpty() ? path : target;
}

// Reads a vault file, refusing by its size alone (before reading) anything that is not one.
PocketFile readVaultFile(const QString& path) {
    const QFileInfo info(path);
    if (info.exists() && info.isFile() && !PocketFormat::capacity(info.size()))
        throw PocketVaultError::notAPocketVault();
    std::vector<std::uint8_t> bytes = readWholeFile(path);
    const std::optional<std::int64_t> capacity = PocketFormat::capacity(static_cast<std::int64_t>(bytes.size()));
    if (!capacity)
        throw PocketVaultError::notAPocketVault();
    return PocketFile(std::move(bytes), *capacity);
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

PocketStorage::PocketStorage(PocketFile file, PocketKey key, QString path, bool keepOutOfICloud)
    : file_(std::move(file)), key_(std::move(key)), path_(std::move(path)), capacity_(file_.capacity()),
      keepOutOfICloud_(keepOutOfICloud), stamp_(stampOf(path_)) {}

std::optional<PocketStorage::FileStamp> PocketStorage::stampOf(const QString& path) {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return std::nullopt;
    return FileStamp{std::uint64_t(st.st_ino), std::int64_t(st.st_size),
                     std::int64_t(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec};
}

void PocketStorage::checkUnchanged() const {
    // A file that is gone holds nobody's changes: the save puts the vault back.
    if (const std::optional<FileStamp> now = stampOf(path_); now && now != stamp_)
        throw PocketVaultError::changedElsewhere();
}

void PocketStorage::writeOver(const std::vector<std::uint8_t>& bytes) {
    try {
        writeVaultFile(path_, bytes, keepOutOfICloud_.load(), WriteMode::replace);
    } catch (...) {
        // Failed after the new file was in place (the folder's flush): it is ours all the same.
        if (const std::optional<FileStamp> now = stampOf(path_);
            now && now != stamp_ && now->size == std::int64_t(bytes.size())) {
            try {
                if (readWholeFile(path_) == bytes)
                    stamp_ = now;
            } catch (...) {
            }
        }
        throw;
    }
    stamp_ = stampOf(path_);
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
    PocketFile file(PocketFormat::randomBytes(static_cast<std::size_t>(PocketFormat::fileSizeForCapacity(capacity))),
                    capacity);
    PocketKey key{static_cast<int>(crypto::randomBelow(2)), crypto::randomBytes(crypto::kKeySize)};
    file.setSlot(key.area, PocketFile::passwordBytes(password), key.key);
    file.writeArea(key, PocketPayload::encode({}, capacity));
    writeVaultFile(path, file.bytes(), keepOutOfICloud, WriteMode::createNew);
    return Opened{std::make_shared<PocketStorage>(std::move(file), std::move(key), path, keepOutOfICloud), {}};
}

PocketStorage::Opened PocketStorage::open(const QString& path, const QString& password, bool keepOutOfICloud) {
    const QString target = realPath(path);
    PocketFile file = readVaultFile(target);
    PocketKey key = file.unlock(PocketFile::passwordBytes(password));
    PocketItems items = PocketPayload::decode(file.readArea(key));
    giveRepeatedIDsNewOnes(items);
    removeStaleCopies(target);
    return Opened{std::make_shared<PocketStorage>(std::move(file), std::move(key), target, keepOutOfICloud),
                  std::move(items)};
}

void PocketStorage::changePassword(const QString& path, const QString& oldPassword, const QString& newPassword,
                                   bool keepOutOfICloud) {
    const QString target = realPath(path);
    PocketFile file = readVaultFile(target);
    const SecureBytes oldBytes = PocketFile::passwordBytes(oldPassword);
    const SecureBytes newBytes = PocketFile::passwordBytes(newPassword);
    const PocketKey key = file.unlock(oldBytes);
    // A new password that already opens the other slot would from now on always open this
    // slot's area first (or never reach the other one), hiding the other area for good.
    if (file.passwordOpensSlot(newBytes, 1 - key.area))
        throw PocketVaultError::passwordOpensOtherArea();
    file.setSlot(key.area, newBytes, key.key);
    writeVaultFile(target, file.bytes(), keepOutOfICloud, WriteMode::replace);
    // A copy left by a killed save still opens with the old password.
    removeStaleCopies(target);
}

void PocketStorage::save(const PocketItems& items, std::int64_t generation) {
    const std::lock_guard lock(writeMutex_);
    // Saves may arrive out of order; an older state never overwrites a newer one.
    if (generation <= savedGeneration_)
        return;
    checkUnchanged();
    bool encoded = false;
    try {
        file_.writeAreaInPlace(key_, [&](std::span<std::uint8_t> out) {
            PocketPayload::encodeInto(items, out);
            encoded = true;
        });
    } catch (...) {
        if (!encoded)
            throw; // the items could not be encoded (too large, say): the area is untouched
        // The seal failed after the area was overwritten: take it back from the file, which holds
        // the last state written. Until that works, nothing may write this memory to disk.
        areaLost_ = true;
        try {
            file_.restoreArea(key_.area, readWholeFile(path_));
            areaLost_ = false;
        } catch (...) {
        }
        throw;
    }
    areaLost_ = false;
    writeOver(file_.bytes());
    savedGeneration_.store(generation);
}

void PocketStorage::saveCopy(const QString& path, const PocketItems& items) {
    const std::lock_guard lock(writeMutex_);
    if (areaLost_)
        throw PocketVaultError::damaged();
    PocketFile copy = file_;
    copy.writeArea(key_, PocketPayload::encode(items, file_.capacity()));
    writeVaultFile(path, copy.bytes(), keepOutOfICloud_.load(), WriteMode::createNew);
}

void PocketStorage::setUpSecondPassword(const QString& password, const PocketItems& items) {
    const std::lock_guard lock(writeMutex_);
    const SecureBytes passwordBytes = PocketFile::passwordBytes(password);
    if (areaLost_)
        throw PocketVaultError::damaged();
    if (file_.passwordOpensSlot(passwordBytes, key_.area))
        throw PocketVaultError::sameAsCurrentPassword();
    checkUnchanged();
    const SecureBytes plaintext = PocketPayload::encode(items, file_.capacity());
    const PocketKey other{1 - key_.area, crypto::randomBytes(crypto::kKeySize)};
    // Work on a copy so that any failure leaves both the memory and the disk as they were.
    PocketFile updated = file_;
    updated.setSlot(other.area, passwordBytes, other.key);
    updated.writeArea(other, plaintext);
    writeOver(updated.bytes());
    file_ = std::move(updated);
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
