#pragma once

#include <cstddef>

namespace larkhold {

// For processes that hold passwords, keys or decrypted items: no core dump of the process is
// written, and no other process of the user may read its memory (ptrace, /proc/PID/mem). Call it
// first thing in main(), before any thread starts.
void protectProcessFromDumps();

// Leaves the whole pages of [p, p + n) out of any core dump that is written all the same (one of
// root's, say).
void keepOutOfDumps(void* p, std::size_t n);

} // namespace larkhold
