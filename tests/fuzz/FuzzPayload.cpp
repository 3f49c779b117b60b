// libFuzzer target: the area plaintext decoder must turn any bytes into either a list of items
// or `damaged`, and a list it accepts must survive being written and read again.
#include "PocketFile.h"
#include "PocketPayload.h"
#include "PocketVaultError.h"

#include <cstdio>
#include <cstdlib>

using namespace larkhold;

// The file format is linked in with the payload; this target derives no keys.
KdfCost PocketFile::kdfCost() {
    return kProductionKdfCost;
}

namespace {

bool hasSurrogate(const QString& s) {
    return std::any_of(s.begin(), s.end(), [](QChar c) { return c.isSurrogate(); });
}

[[noreturn]] void failure(const char* what) {
    std::fprintf(stderr, "fuzz failure: %s\n", what);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    PocketItems items;
    try {
        items = PocketPayload::decode(ByteView(data, size));
    } catch (const PocketVaultError& e) {
        if (e.which() != PocketVaultError::Case::damaged)
            failure("decode raised something other than damaged");
        return 0;
    }

    // Round trip: what was read is written back to an area just large enough and read again.
    const std::int64_t needed = PocketPayload::sizeOf(items);
    PocketItems again;
    try {
        again = PocketPayload::decode(PocketPayload::encode(items, needed));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        failure("an accepted list could not be written and read back");
    }
    if (again.size() != items.size())
        failure("round trip changed the number of items");
    for (std::size_t i = 0; i < items.size(); ++i) {
        PocketItem expected = items[i];
        // Escaped lone surrogates are read as they are but written as U+FFFD.
        if (hasSurrogate(expected.name))
            expected.name = again[i].name;
        if (!(again[i] == expected))
            failure("round trip changed an item");
    }
    return 0;
}
