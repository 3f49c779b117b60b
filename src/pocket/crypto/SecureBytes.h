#pragma once

#include <openssl/crypto.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace larkhold {

// Allocator that overwrites memory before handing it back, so that passwords,
// keys and decrypted items do not linger in freed heap blocks.
template <class T> struct WipingAllocator {
    using value_type = T;
    WipingAllocator() noexcept = default;
    template <class U> WipingAllocator(const WipingAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) { return std::allocator<T>{}.allocate(n); }
    void deallocate(T* p, std::size_t n) noexcept {
        OPENSSL_cleanse(p, n * sizeof(T));
        std::allocator<T>{}.deallocate(p, n);
    }
    template <class U> bool operator==(const WipingAllocator<U>&) const noexcept { return true; }
};

// Byte buffer for anything secret. Every copy is its own allocation and is wiped when freed.
using SecureBytes = std::vector<std::uint8_t, WipingAllocator<std::uint8_t>>;

using ByteView = std::span<const std::uint8_t>;

inline ByteView asBytes(std::string_view s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

inline SecureBytes toSecure(ByteView v) { return SecureBytes(v.begin(), v.end()); }

// Wipes a buffer that cannot use WipingAllocator (e.g. a std::array on the stack).
inline void wipe(void* p, std::size_t n) noexcept { OPENSSL_cleanse(p, n); }

} // namespace larkhold
