#pragma once

// What a decoder helper reads and writes once it is confined: its input from the memory file it was handed,
// its answers on standard output. Nothing else is open to it.

#include <QByteArray>
#include <cerrno>
#include <cstddef>
#include <unistd.h>

namespace larkhold::helperpipe {

inline bool writeAll(const void* data, std::size_t size) {
    const auto* at = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(STDOUT_FILENO, at, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        at += n;
        size -= std::size_t(n);
    }
    return true;
}

inline bool writeLine(const QByteArray& line) {
    return writeAll(line.constData(), std::size_t(line.size())) && writeAll("\n", 1);
}

// The whole input, or nothing when it is larger than the helper may take.
inline QByteArray readInput(int fd, qsizetype maxBytes) {
    QByteArray bytes;
    char buffer[1 << 16];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        if (bytes.size() + n > maxBytes) {
            ::close(fd);
            return {};
        }
        bytes.append(buffer, n);
    }
    ::close(fd);
    return bytes;
}

} // namespace larkhold::helperpipe
