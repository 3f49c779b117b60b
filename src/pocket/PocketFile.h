#pragma once

#include "SecureBytes.h"

#include <QString>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace larkhold {

// Argon2id cost of a slot's key derivation.
struct KdfCost {
    std::uint32_t iterations;
    std::uint32_t memoryKiB;
    std::uint32_t parallelism;
};

inline constexpr KdfCost kProductionKdfCost{3, 131072, 1};

// An unlocked area: its index (also the slot that held the key) and its 256-bit key.
struct PocketKey {
    int area = 0;
    SecureBytes key;
};

// The whole vault file in memory with its capacity C: two password slots that each seal an
// area key, and two areas of C plaintext bytes each, every box tied by its associated data to
// its position and to C. Nothing here touches the disk.
class PocketFile {
public:
    // Throws PocketVaultError::notAPocketVault when the byte count does not match the capacity
    // of a tier.
    PocketFile(std::vector<std::uint8_t> bytes, std::int64_t capacity);

    const std::vector<std::uint8_t>& bytes() const { return bytes_; }
    std::vector<std::uint8_t>& bytes() { return bytes_; }
    std::int64_t capacity() const { return capacity_; }

    // Passwords are taken as typed; they are NFC-normalised and encoded as UTF-8 here.
    // The ByteView overloads take bytes already prepared by passwordBytes().
    static SecureBytes passwordBytes(const QString& password);

    // Derives both slots' keys before trying either box, so a wrong password costs the same
    // as a right one. Slot 0 wins when both open. Throws badPassword.
    PocketKey unlock(const QString& password) const;
    PocketKey unlock(ByteView password) const;

    // Whether the password opens a slot when its key is derived at `cost`: tells at what cost a
    // file was sealed, since the file itself does not say.
    bool opensAtCost(const QString& password, const KdfCost& cost) const;

    // One derivation against slot `slot` (0 or 1).
    bool passwordOpensSlot(const QString& password, int slot) const;
    bool passwordOpensSlot(ByteView password, int slot) const;

    // Seals areaKey into slot `slot` under the password with a fresh salt and nonce.
    void setSlot(int slot, const QString& password, ByteView areaKey);
    void setSlot(int slot, ByteView password, ByteView areaKey);

    // The C plaintext bytes of the key's area; throws damaged when the box does not open.
    SecureBytes readArea(const PocketKey& key) const;
    // Seals exactly C plaintext bytes into the key's area with a fresh nonce.
    void writeArea(const PocketKey& key, ByteView plaintext);
    // Has `encode` write the C plaintext bytes straight into the key's area and seals them where
    // they lie, so a save of a large vault needs no buffer besides the file itself. `encode` must
    // either throw before writing or fill all it is given; then the area is untouched. Should the
    // seal fail, the plaintext is wiped, the area holds no valid box and this throws: the caller
    // restores the area's bytes with restoreArea.
    void writeAreaInPlace(const PocketKey& key, const std::function<void(std::span<std::uint8_t>)>& encode);
    // Puts back area `area` as it is in `fileBytes`, a whole file of the same capacity.
    void restoreArea(int area, ByteView fileBytes);

    // The same operations on parts of a file held apart, for an open vault that keeps only its
    // slots (the file's first kSlotsSize bytes) and the box of its own area (areaBoxSize bytes).
    static PocketKey unlockSlots(ByteView slotBytes, std::int64_t capacity, ByteView password);
    static bool slotOpens(ByteView slotBytes, std::int64_t capacity, ByteView password, int slot);
    static void sealSlot(std::span<std::uint8_t> slotBytes, std::int64_t capacity, int slot, ByteView password,
                         ByteView areaKey);
    static SecureBytes openArea(ByteView box, std::int64_t capacity, const PocketKey& key);
    static void sealAreaInPlace(std::span<std::uint8_t> box, std::int64_t capacity, const PocketKey& key,
                                const std::function<void(std::span<std::uint8_t>)>& encode);

    // The cost every slot is sealed and opened with. The shipped program links the production cost
    // (PocketKdfCost.cpp) and has no way to change it; only test executables link a cheaper one
    // in its place.
    static KdfCost kdfCost();

private:
    // Throws damaged when the bytes no longer have the size of the capacity's file.
    void requireWholeFile() const;
    ByteView slotBytes() const { return ByteView(bytes_).first(kSlotsBytes); }
    std::span<std::uint8_t> box(int area);
    static constexpr std::size_t kSlotsBytes = 184;

    std::vector<std::uint8_t> bytes_;
    std::int64_t capacity_;
};

} // namespace larkhold
