// libFuzzer target: opening a vault file with arbitrary damage must end in a key, or in
// `badPassword`, or in `damaged`; never in a crash. The first input byte picks a mode:
//   even: the rest is a list of (3-byte offset, 1-byte xor) patches applied to a good vault,
//         which is then opened with the right password, a wrong one, or one taken from the input;
//   odd:  the rest becomes the area plaintext of a good vault (sealed with the right key), so
//         the decoder sees fuzzed bytes through the whole opening path.
#include "Crypto.h"
#include "PocketFile.h"
#include "PocketFormat.h"
#include "PocketPayload.h"
#include "PocketVaultError.h"

#include <cstdio>
#include <cstdlib>

using namespace larkhold;

// Cheap key derivation, linked in place of the product's cost.
KdfCost PocketFile::kdfCost() {
    return {1, 8, 1};
}

namespace {

constexpr std::int64_t kCapacity = 1'048'576;

struct Vault {
    PocketFile file;
    PocketKey key;
};

const Vault& goodVault() {
    static const Vault vault = [] {
        PocketFile file(
            PocketFormat::randomBytes(static_cast<std::size_t>(PocketFormat::fileSizeForCapacity(kCapacity))),
            kCapacity);
        PocketKey key{1, crypto::randomBytes(32)};
        file.setSlot(1, QStringLiteral("fuzz"), key.key);
        PocketItems items{PocketItem::note(QStringLiteral("note"), QStringLiteral("text"), Date{1})};
        file.writeArea(key, PocketPayload::encode(items, kCapacity));
        return Vault{std::move(file), std::move(key)};
    }();
    return vault;
}

[[noreturn]] void failure(const char* what) {
    std::fprintf(stderr, "fuzz failure: %s\n", what);
    std::abort();
}

void openAll(const PocketFile& file, ByteView password) {
    try {
        const PocketKey key = file.unlock(password);
        PocketPayload::decode(file.readArea(key));
    } catch (const PocketVaultError& e) {
        if (e.which() != PocketVaultError::Case::badPassword && e.which() != PocketVaultError::Case::damaged)
            failure("opening raised something other than badPassword or damaged");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::uint8_t mode = data[0];
    ByteView rest(data + 1, size - 1);
    PocketFile file = goodVault().file;

    if (mode % 2 == 1) {
        SecureBytes plaintext(static_cast<std::size_t>(kCapacity), 0);
        std::copy_n(rest.begin(), std::min<std::size_t>(rest.size(), plaintext.size()), plaintext.begin());
        file.writeArea(goodVault().key, plaintext);
        openAll(file, asBytes("fuzz"));
        return 0;
    }

    const std::size_t fileSize = file.bytes().size();
    std::size_t i = 0;
    for (; i + 4 <= rest.size() && i < 4 * 64; i += 4) {
        const std::size_t offset =
            (std::size_t{rest[i]} | std::size_t{rest[i + 1]} << 8 | std::size_t{rest[i + 2]} << 16) % fileSize;
        file.bytes()[offset] ^= rest[i + 3] == 0 ? 1 : rest[i + 3];
    }
    switch ((mode >> 1) % 3) {
    case 0:
        openAll(file, asBytes("fuzz"));
        break;
    case 1:
        openAll(file, asBytes("wrong"));
        break;
    default:
        openAll(file, rest.subspan(i));
        break;
    }
    return 0;
}
