#pragma once

#include <QString>
#include <QUuid>
#include <optional>

namespace larkhold {

// The canonical text of a UUID: 36 characters, 8-4-4-4-12, capital hexadecimal digits, no braces. Vault
// records, saved-password accounts and Pocket manifests all write it, and must agree byte for byte.
inline QString uuidString(const QUuid& id) {
    return id.toString(QUuid::WithoutBraces).toUpper();
}

// Reads a UUID in its 36-character form (either letter case); nothing for anything else. QUuid alone
// would also take braces and other forms.
inline std::optional<QUuid> uuidFromString(const QString& text) {
    if (text.size() != 36)
        return std::nullopt;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text.at(i).unicode();
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        const bool hexDigit = (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
        if (dash ? c != u'-' : !hexDigit)
            return std::nullopt;
    }
    return QUuid::fromString(text);
}

} // namespace larkhold
