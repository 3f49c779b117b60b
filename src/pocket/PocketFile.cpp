#include "PocketFile.h"

#include "Argon2id.h"
#include "Crypto.h"
#include "PocketFormat.h"
#include "PocketVaultError.h"
#include "SecretText.h"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace larkhold {

namespace {

constexpr std::size_t kSaltSize = 32;
constexpr std::size_t kSlotBoxSize = crypto::kKeySize + crypto::kGcmOverhead; // 60
constexpr std::uint32_t kKeyLength = 32;

// Ties a box to its kind, its index and the vault's capacity, so that a box moved to the other
// slot or area, or into a file of another tier, does not open.
std::string associatedData(const char* label, int index, std::int64_t capacity) {
    return "Larkhold Pocket Vault 1 " + std::string(label) + ' ' + std::to_string(index) + ' ' +
           std::to_string(capacity);
}

void checkIndex(int index) {
    if (index != 0 && index != 1)
        throw std::invalid_argument("A Pocket Vault has slots and areas 0 and 1 only.");
}

} // namespace

PocketFile::PocketFile(std::vector<std::uint8_t> bytes, std::int64_t capacity)
    : bytes_(std::move(bytes)), capacity_(capacity) {
    if (PocketFormat::capacity(static_cast<std::int64_t>(bytes_.size())) != capacity)
        throw PocketVaultError::notAPocketVault();
}

// bytes() hands out the buffer for writing, so its size is checked again before every use.
void PocketFile::requireWholeFile() const {
    if (bytes_.size() != static_cast<std::size_t>(PocketFormat::fileSizeForCapacity(capacity_)))
        throw PocketVaultError::damaged();
}

SecureBytes PocketFile::passwordBytes(const QString& password) {
    QString normalized = password.normalized(QString::NormalizationForm_C);
    SecureBytes out = secretUtf8(normalized);
    wipeText(normalized);
    return out;
}

namespace {

void checkSlots(ByteView slotBytes) {
    if (slotBytes.size() != static_cast<std::size_t>(PocketFormat::kSlotsSize))
        throw std::invalid_argument("The slots of a Pocket Vault take 184 bytes.");
}

void checkBox(ByteView box, std::int64_t capacity) {
    if (box.size() != static_cast<std::size_t>(PocketFormat::areaBoxSize(capacity)))
        throw std::invalid_argument("An area's box holds its capacity and 28 bytes.");
}

SecureBytes deriveSlotKey(ByteView slotBytes, ByteView password, int slot, const KdfCost& cost) {
    checkIndex(slot);
    checkSlots(slotBytes);
    const ByteView salt = slotBytes.subspan(static_cast<std::size_t>(PocketFormat::kSlotSize * slot), kSaltSize);
    return Argon2id::hash(password, salt, {}, {}, cost.iterations, cost.memoryKiB, cost.parallelism, kKeyLength);
}

bool openSlot(ByteView slotBytes, std::int64_t capacity, int slot, ByteView slotKey, SecureBytes& areaKey) {
    const ByteView box =
        slotBytes.subspan(static_cast<std::size_t>(PocketFormat::kSlotSize * slot) + kSaltSize, kSlotBoxSize);
    const std::string aad = associatedData("slot", slot, capacity);
    SecureBytes key(crypto::kKeySize);
    if (!crypto::aesGcmOpen(slotKey, box, asBytes(aad), key))
        return false;
    areaKey = std::move(key);
    return true;
}

} // namespace

std::span<std::uint8_t> PocketFile::box(int area) {
    checkIndex(area);
    requireWholeFile();
    return std::span(bytes_).subspan(static_cast<std::size_t>(PocketFormat::areaOffset(area, capacity_)),
                                     static_cast<std::size_t>(PocketFormat::areaBoxSize(capacity_)));
}

PocketKey PocketFile::unlock(const QString& password) const {
    return unlock(passwordBytes(password));
}

PocketKey PocketFile::unlock(ByteView password) const {
    requireWholeFile();
    return unlockSlots(slotBytes(), capacity_, password);
}

PocketKey PocketFile::unlockSlots(ByteView slotBytes, std::int64_t capacity, ByteView password) {
    // Both derivations run before either box is tried, so timing says nothing about which
    // slot, if any, the password opens.
    const KdfCost cost = kdfCost();
    const SecureBytes key0 = deriveSlotKey(slotBytes, password, 0, cost);
    const SecureBytes key1 = deriveSlotKey(slotBytes, password, 1, cost);
    SecureBytes area0, area1;
    const bool opens0 = openSlot(slotBytes, capacity, 0, key0, area0);
    const bool opens1 = openSlot(slotBytes, capacity, 1, key1, area1);
    if (opens0)
        return PocketKey{0, std::move(area0)};
    if (opens1)
        return PocketKey{1, std::move(area1)};
    throw PocketVaultError::badPassword();
}

bool PocketFile::passwordOpensSlot(const QString& password, int slot) const {
    return passwordOpensSlot(passwordBytes(password), slot);
}

bool PocketFile::opensAtCost(const QString& password, const KdfCost& cost) const {
    requireWholeFile();
    const SecureBytes bytes = passwordBytes(password);
    for (int slot : {0, 1}) {
        const SecureBytes key = deriveSlotKey(slotBytes(), bytes, slot, cost);
        SecureBytes areaKey;
        if (openSlot(slotBytes(), capacity_, slot, key, areaKey))
            return true;
    }
    return false;
}

bool PocketFile::passwordOpensSlot(ByteView password, int slot) const {
    requireWholeFile();
    return slotOpens(slotBytes(), capacity_, password, slot);
}

bool PocketFile::slotOpens(ByteView slotBytes, std::int64_t capacity, ByteView password, int slot) {
    const SecureBytes key = deriveSlotKey(slotBytes, password, slot, kdfCost());
    SecureBytes areaKey;
    return openSlot(slotBytes, capacity, slot, key, areaKey);
}

void PocketFile::setSlot(int slot, const QString& password, ByteView areaKey) {
    setSlot(slot, passwordBytes(password), areaKey);
}

void PocketFile::setSlot(int slot, ByteView password, ByteView areaKey) {
    requireWholeFile();
    sealSlot(std::span(bytes_).first(kSlotsBytes), capacity_, slot, password, areaKey);
}

void PocketFile::sealSlot(std::span<std::uint8_t> slotBytes, std::int64_t capacity, int slot, ByteView password,
                          ByteView areaKey) {
    checkIndex(slot);
    checkSlots(slotBytes);
    if (areaKey.size() != crypto::kKeySize)
        throw std::invalid_argument("An area key has 32 bytes.");

    // Build the new slot aside and copy it in only when every step has succeeded.
    std::array<std::uint8_t, PocketFormat::kSlotSize> sealed{};
    crypto::randomFill(std::span(sealed).first(kSaltSize));
    const KdfCost cost = kdfCost();
    const SecureBytes slotKey = Argon2id::hash(password, std::span(sealed).first(kSaltSize), {}, {}, cost.iterations,
                                               cost.memoryKiB, cost.parallelism, kKeyLength);
    const std::string aad = associatedData("slot", slot, capacity);
    crypto::aesGcmSeal(slotKey, areaKey, asBytes(aad), std::span(sealed).subspan(kSaltSize));
    std::copy(sealed.begin(), sealed.end(), slotBytes.begin() + PocketFormat::kSlotSize * slot);
}

SecureBytes PocketFile::readArea(const PocketKey& key) const {
    checkIndex(key.area);
    requireWholeFile();
    const ByteView box =
        ByteView(bytes_).subspan(static_cast<std::size_t>(PocketFormat::areaOffset(key.area, capacity_)),
                                 static_cast<std::size_t>(PocketFormat::areaBoxSize(capacity_)));
    return openArea(box, capacity_, key);
}

SecureBytes PocketFile::openArea(ByteView box, std::int64_t capacity, const PocketKey& key) {
    checkIndex(key.area);
    checkBox(box, capacity);
    const std::string aad = associatedData("area", key.area, capacity);
    SecureBytes plaintext(static_cast<std::size_t>(capacity));
    if (!crypto::aesGcmOpen(key.key, box, asBytes(aad), plaintext))
        throw PocketVaultError::damaged();
    return plaintext;
}

void PocketFile::writeArea(const PocketKey& key, ByteView plaintext) {
    checkIndex(key.area);
    if (plaintext.size() != static_cast<std::size_t>(capacity_))
        throw std::invalid_argument("An area's plaintext must be exactly its capacity.");
    requireWholeFile();
    // Seal into a separate buffer so a failing seal leaves the old area untouched.
    std::vector<std::uint8_t> sealed(static_cast<std::size_t>(PocketFormat::areaBoxSize(capacity_)));
    const std::string aad = associatedData("area", key.area, capacity_);
    crypto::aesGcmSeal(key.key, plaintext, asBytes(aad), sealed);
    std::copy(sealed.begin(), sealed.end(), box(key.area).begin());
}

void PocketFile::writeAreaInPlace(const PocketKey& key, const std::function<void(std::span<std::uint8_t>)>& encode) {
    checkIndex(key.area);
    sealAreaInPlace(box(key.area), capacity_, key, encode);
}

void PocketFile::sealAreaInPlace(std::span<std::uint8_t> box, std::int64_t capacity, const PocketKey& key,
                                 const std::function<void(std::span<std::uint8_t>)>& encode) {
    checkIndex(key.area);
    checkBox(box, capacity);
    const std::span<std::uint8_t> plaintext = box.subspan(crypto::kGcmNonceSize, static_cast<std::size_t>(capacity));
    encode(plaintext);
    const std::string aad = associatedData("area", key.area, capacity);
    try {
        // The plaintext sits exactly where its ciphertext goes; GCM encrypts such a buffer in place.
        crypto::aesGcmSeal(key.key, plaintext, asBytes(aad), box);
    } catch (...) {
        wipe(box.data(), box.size());
        throw;
    }
}

void PocketFile::restoreArea(int area, ByteView fileBytes) {
    checkIndex(area);
    requireWholeFile();
    if (fileBytes.size() != bytes_.size())
        throw PocketVaultError::damaged();
    const auto offset = static_cast<std::size_t>(PocketFormat::areaOffset(area, capacity_));
    const std::span<std::uint8_t> target = box(area);
    std::copy_n(fileBytes.begin() + offset, target.size(), target.begin());
}

} // namespace larkhold
