#pragma once

#include <QString>
#include <cstdint>

namespace larkhold {

// Writes a byte count the way user messages about vault space show it: multiples of 1024,
// "bytes", "KB", "MB", "GB" or "TB", no decimals for bytes and KB, one for MB, two from GB up,
// trailing zeros dropped, thousands grouped with commas, and zero always as a digit
// ("0 bytes", "1 byte", "1 MB", "1.5 MB", "1,023 KB").
QString formatByteCount(std::int64_t bytes);

} // namespace larkhold
