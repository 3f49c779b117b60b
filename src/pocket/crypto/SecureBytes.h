#pragma once

#include <openssl/crypto.h>

#include <cstddef>
#include <cstdint>
#include <new>
#include <sys/mman.h>
#include <span>
#include <string_view>
#include <vector>

namespace larkhold {

// From this size on, a secret buffer has pages of its own, which are kept out of core dumps.
inline constexpr std::size_t kOwnPagesBytes = 64 * 1024;

// Allocator that overwrites memory before handing it back, so that passwords,
// keys and decrypted items do not linger in freed heap blocks. Large buffers (decrypted items,
// whole areas) are mapped on their own and left out of core dumps.
template <class T> struct WipingAllocator {
    using value_type = T;
    WipingAllocator() noexcept = default;
    template <class U> WipingAllocator(const WipingAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) {
        if (n > SIZE_MAX / sizeof(T))
            throw std::bad_array_new_length();
        const std::size_t bytes = n * sizeof(T);
        if (bytes < kOwnPagesBytes)
            return std::allocator<T>{}.allocate(n);
        void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED)
            throw std::bad_alloc();
#ifdef MADV_DONTDUMP
        ::madvise(p, bytes, MADV_DONTDUMP);
#endif
        return static_cast<T*>(p);
    }
    void deallocate(T* p, std::size_t n) noexcept {
        OPENSSL_cleanse(p, n * sizeof(T));
        if (n * sizeof(T) < kOwnPagesBytes)
            std::allocator<T>{}.deallocate(p, n);
        else
            ::munmap(p, n * sizeof(T));
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
