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

SecureBytes PocketFile::deriveSlotKey(ByteView password, int slot, const KdfCost& cost) const {
    checkIndex(slot);
    requireWholeFile();
    const ByteView salt(bytes_.data() + PocketFormat::kSlotSize * slot, kSaltSize);
    return Argon2id::hash(password, salt, {}, {}, cost.iterations, cost.memoryKiB, cost.parallelism, kKeyLength);
}

bool PocketFile::openSlot(int slot, ByteView slotKey, SecureBytes& areaKey) const {
    const ByteView box(bytes_.data() + PocketFormat::kSlotSize * slot + kSaltSize, kSlotBoxSize);
    const std::string aad = associatedData("slot", slot, capacity_);
    SecureBytes key(crypto::kKeySize);
    if (!crypto::aesGcmOpen(slotKey, box, asBytes(aad), key))
        return false;
    areaKey = std::move(key);
    return true;
}

PocketKey PocketFile::unlock(const QString& password) const {
    return unlock(passwordBytes(password));
}

PocketKey PocketFile::unlock(ByteView password) const {
    // Both derivations run before either box is tried, so timing says nothing about which
    // slot, if any, the password opens.
    const KdfCost cost = kdfCost();
    const SecureBytes key0 = deriveSlotKey(password, 0, cost);
    const SecureBytes key1 = deriveSlotKey(password, 1, cost);
    SecureBytes area0, area1;
    const bool opens0 = openSlot(0, key0, area0);
    const bool opens1 = openSlot(1, key1, area1);
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
    const SecureBytes bytes = passwordBytes(password);
    for (int slot : {0, 1}) {
        const SecureBytes key = deriveSlotKey(bytes, slot, cost);
        SecureBytes areaKey;
        if (openSlot(slot, key, areaKey))
            return true;
    }
    return false;
}

bool PocketFile::passwordOpensSlot(ByteView password, int slot) const {
    const SecureBytes key = deriveSlotKey(password, slot, kdfCost());
    SecureBytes areaKey;
    return openSlot(slot, key, areaKey);
}

void PocketFile::setSlot(int slot, const QString& password, ByteView areaKey) {
    setSlot(slot, passwordBytes(password), areaKey);
}

void PocketFile::setSlot(int slot, ByteView password, ByteView areaKey) {
    checkIndex(slot);
    if (areaKey.size() != crypto::kKeySize)
        throw std::invalid_argument("An area key has 32 bytes.");
    requireWholeFile();

    // Build the new slot aside and copy it in only when every step has succeeded.
    std::array<std::uint8_t, PocketFormat::kSlotSize> slotBytes{};
    crypto::randomFill(std::span(slotBytes).first(kSaltSize));
    const KdfCost cost = kdfCost();
    const SecureBytes slotKey = Argon2id::hash(password, std::span(slotBytes).first(kSaltSize), {}, {}, cost.iterations,
                                               cost.memoryKiB, cost.parallelism, kKeyLength);
    const std::string aad = associatedData("slot", slot, capacity_);
    crypto::aesGcmSeal(slotKey, areaKey, asBytes(aad), std::span(slotBytes).subspan(kSaltSize));
    std::copy(slotBytes.begin(), slotBytes.end(), bytes_.begin() + PocketFormat::kSlotSize * slot);
}

SecureBytes PocketFile::readArea(const PocketKey& key) const {
    checkIndex(key.area);
    requireWholeFile();
    const std::int64_t boxSize = capacity_ + PocketFormat::kAreaOverhead;
    const ByteView box(bytes_.data() + PocketFormat::kSlotsSize + key.area * boxSize,
                       static_cast<std::size_t>(boxSize));
    const std::string aad = associatedData("area", key.area, capacity_);
    SecureBytes plaintext(static_cast<std::size_t>(capacity_));
    if (!crypto::aesGcmOpen(key.key, box, asBytes(aad), plaintext))
        throw PocketVaultError::damaged();
    return plaintext;
}

void PocketFile::writeArea(const PocketKey& key, ByteView plaintext) {
    checkIndex(key.area);
    if (plaintext.size() != static_cast<std::size_t>(capacity_))
        throw std::invalid_argument("An area's plaintext must be exactly its capacity.");
    requireWholeFile();
    const std::int64_t boxSize = capacity_ + PocketFormat::kAreaOverhead;
    // Seal into a separate buffer so a failing seal leaves the old area untouched.
    std::vector<std::uint8_t> box(static_cast<std::size_t>(boxSize));
    const std::string aad = associatedData("area", key.area, capacity_);
    crypto::aesGcmSeal(key.key, plaintext, asBytes(aad), box);
    std::copy(box.begin(), box.end(), bytes_.begin() + PocketFormat::kSlotsSize + key.area * boxSize);
}

void PocketFile::writeAreaInPlace(const PocketKey& key, const std::function<void(std::span<std::uint8_t>)>& encode) {
    checkIndex(key.area);
    requireWholeFile();
    const auto boxSize = static_cast<std::size_t>(capacity_ + PocketFormat::kAreaOverhead);
    const std::span<std::uint8_t> box(bytes_.data() + PocketFormat::kSlotsSize + key.area * boxSize, boxSize);
    const std::span<std::uint8_t> plaintext = box.subspan(crypto::kGcmNonceSize, static_cast<std::size_t>(capacity_));
    encode(plaintext);
    const std::string aad = associatedData("area", key.area, capacity_);
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
    const auto boxSize = static_cast<std::size_t>(capacity_ + PocketFormat::kAreaOverhead);
    const std::size_t offset = PocketFormat::kSlotsSize + area * boxSize;
    std::copy_n(fileBytes.begin() + offset, boxSize, bytes_.begin() + offset);
}

} // namespace larkhold
