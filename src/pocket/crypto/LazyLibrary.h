#pragma once

#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <mutex>

namespace larkhold {

// A shared library loaded when one of its functions is first called rather than when the program
// starts: libraries that only some windows need then cost the start nothing.
class LazyLibrary {
public:
    explicit constexpr LazyLibrary(const char* soname) : soname_(soname) {}

    // The function's address, or nullptr when the library or the function is missing.
    void* symbol(const char* name) {
        std::call_once(loaded_, [this] { handle_ = ::dlopen(soname_, RTLD_NOW | RTLD_LOCAL); });
        return handle_ ? ::dlsym(handle_, name) : nullptr;
    }

    // The same for a library the program cannot work without: a missing one ends the program as
    // a missing link-time dependency would have, only later.
    void* required(const char* name) {
        if (void* f = symbol(name))
            return f;
        std::fprintf(stderr, "larkhold: %s from %s is missing: %s\n", name, soname_, ::dlerror());
        std::abort();
    }

    template <class Fn> Fn required(const char* name) { return reinterpret_cast<Fn>(required(name)); }

private:
    const char* soname_;
    std::once_flag loaded_;
    void* handle_ = nullptr;
};

} // namespace larkhold
