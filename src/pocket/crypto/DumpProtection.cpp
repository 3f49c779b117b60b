#include "DumpProtection.h"

#include <cstdint>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace larkhold {

void protectProcessFromDumps() {
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    const rlimit none{0, 0};
    ::setrlimit(RLIMIT_CORE, &none);
}

void keepOutOfDumps(void* p, std::size_t n) {
    if (n == 0)
        return;
    const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    const auto start = reinterpret_cast<std::uintptr_t>(p) / page * page;
    const auto end = (reinterpret_cast<std::uintptr_t>(p) + n + page - 1) / page * page;
    ::madvise(reinterpret_cast<void*>(start), end - start, MADV_DONTDUMP);
}

} // namespace larkhold
