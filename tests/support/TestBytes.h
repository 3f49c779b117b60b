#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace larkhold::test {

// Lower-case hexadecimal, the form published test vectors use.
template <class Bytes> std::string toHex(const Bytes& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (std::uint8_t b : bytes) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

// Byte i is (7i + seed) mod 256: inputs that an independent generator of expected values can rebuild.
inline std::vector<std::uint8_t> pattern(std::size_t n, int seed) {
    std::vector<std::uint8_t> m(n);
    for (std::size_t i = 0; i < n; ++i)
        m[i] = static_cast<std::uint8_t>(7 * i + static_cast<std::size_t>(seed));
    return m;
}

} // namespace larkhold::test
