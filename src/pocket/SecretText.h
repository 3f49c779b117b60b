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

// Overwrites a secret text's characters and empties it. A buffer shared with other strings is
// copied first (they keep theirs): only this string's own copy can be wiped.
inline void wipeText(QString& text) {
    if (!text.isEmpty())
        wipe(text.data(), static_cast<std::size_t>(text.size()) * sizeof(QChar));
    text.clear();
}

} // namespace larkhold
