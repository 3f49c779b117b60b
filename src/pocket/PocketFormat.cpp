#include "PocketFormat.h"

#include "Crypto.h"

#include <QFileInfo>

namespace larkhold::PocketFormat {

std::optional<std::int64_t> capacity(std::int64_t fileSize) {
    for (int tier : sizeTiersMB) {
        const std::int64_t c = capacityOfTier(tier);
        if (fileSizeForCapacity(c) == fileSize)
            return c;
    }
    return std::nullopt;
}

bool isPocketVaultFile(const QString& path) {
    const QFileInfo info(path);
    if (!info.exists() || info.isDir() || !info.isFile())
        return false;
    return capacity(info.size()).has_value();
}

std::vector<std::uint8_t> randomBytes(std::size_t n) {
    std::vector<std::uint8_t> bytes(n);
    crypto::randomFill(bytes);
    return bytes;
}

} // namespace larkhold::PocketFormat
