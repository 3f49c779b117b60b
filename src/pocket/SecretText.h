#pragma once

#include "SecureBytes.h"

#include <QByteArray>
#include <QString>

namespace larkhold {

// The UTF-8 bytes of a secret text (a password, a note) in wiped memory. The encoder's buffer is
// unshared, so wiping it leaves no copy behind besides the caller's QString.
inline SecureBytes secretUtf8(const QString& text) {
    QByteArray utf8 = text.toUtf8();
    SecureBytes bytes(utf8.cbegin(), utf8.cend());
    wipe(utf8.data(), static_cast<std::size_t>(utf8.size()));
    return bytes;
}

} // namespace larkhold
