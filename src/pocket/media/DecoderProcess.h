#pragma once

#include "Confinement.h"
#include "SecureBytes.h"

#include <QProcess>
#include <cstdint>

// Starting and ending the decoder processes (Confinement.h) from the side that holds the keys.
namespace larkhold::decoder {

// A memory file holding the bytes, read from its start; -1 when the bytes are over `maxBytes` or no
// memory file could be made. The caller owns the descriptor.
int memoryFileOf(ByteView bytes, std::int64_t maxBytes);

// Starts `program` (a module file) on the memory file, which only that child inherits, with an
// empty environment, under `limits`; the caller's copy of the descriptor is closed. With `probe`
// the process only reports its confinement (Confinement.h).
void start(QProcess& process, const char* program, const confinement::Limits& limits, int fd, bool probe = false);

// Ends the process at once and reaps it.
void end(QProcess& process);

// Whether the first line a decoder wrote says it could not seal itself off.
inline bool saysUnconfined(const QByteArray& line) {
    return line == confinement::kUnconfinedLine;
}

} // namespace larkhold::decoder
